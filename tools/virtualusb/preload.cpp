#include "preload.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void restartWithVirtualUsb(char** argv, const char* standInLibrary)
{
    if (std::getenv("ORV_VIRTUAL_USB_PRELOADED"))
        return;
    setenv("ORV_VIRTUAL_USB_PRELOADED", "1", 1);
    setenv("LD_PRELOAD", standInLibrary, 1);
    execv("/proc/self/exe", argv);
    std::perror("starting again with the virtual USB bus");
    std::exit(2);
}

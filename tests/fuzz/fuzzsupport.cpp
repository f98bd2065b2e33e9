#include "fuzzsupport.h"

#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace fuzz {

void silenceDiagnostics()
{
    static std::ofstream nowhere("/dev/null");
    std::cout.rdbuf(nowhere.rdbuf());
}

void ensureApplication()
{
    static QApplication* application = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "fuzz";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    (void)application;
}

std::string scratchFile(const uint8_t* data, size_t size, const char* name)
{
    const std::string path =
        "/tmp/orv-fuzz-" + std::to_string(::getpid()) + "-" + std::string(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

} // namespace fuzz

#pragma once

// A process that enumerates serial ports through the virtual USB bus needs the
// libudev stand-in preloaded before it starts. Called first thing in main: when
// the stand-in is not loaded yet, the process starts itself again with it (and
// does not return); otherwise it returns at once.
void restartWithVirtualUsb(char** argv, const char* standInLibrary);

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What every fuzz target shares: quiet diagnostics, a Qt application for the
// targets that need one, and a scratch file for inputs that are files.
namespace fuzz {

// Sends the library's diagnostics (std::cout) nowhere, once.
void silenceDiagnostics();
// A QApplication on the offscreen platform, made once.
void ensureApplication();
// Writes `bytes` to this process's scratch file and returns its path.
std::string scratchFile(const uint8_t* data, size_t size, const char* name = "input");

} // namespace fuzz

#pragma once

#include <cstddef>
#include <ostream>

// Writes a conventional hex dump of `length` bytes at `data`: per line of 16 bytes
// the offset, the bytes in hex and their printable characters.
void hexdump(const void* data, size_t length);
void hexdump(const void* data, size_t length, std::ostream& out);
// The same dump of at most the first `shownBytes`, then one line saying how many
// bytes were left out.
void hexdump(const void* data, size_t length, std::ostream& out, size_t shownBytes);

// Small text helpers shared by the shell, the library and the socket layer.
#pragma once

#include <cstddef>

namespace brennic {

// Copies from src until its end or n characters, terminates after them, and also always
// writes a terminator at dst[n]: dst must hold n + 1 characters.
void copy_bounded(char *dst, const char *src, std::size_t n);

// Lower-cases A to Z in place; every other byte, bytes above 127 included, stays.
void lowercase_in_place(char *text);

// Reads a decimal number as atoi does (leading white space, optional sign, digits up to the
// first non-digit; no digits give 0), saturating at the limits of a signed 32-bit value.
int read_int32(const char *text);

} // namespace brennic

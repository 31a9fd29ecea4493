#pragma once

#include <cstdint>

namespace brennic {

// h = h * 16 + b over the bytes of text (b read as a signed 8-bit value), modulo 2^32,
// returned as a signed 32-bit value. The empty text hashes to 0.
std::int32_t secret_hash(const char *text);

} // namespace brennic

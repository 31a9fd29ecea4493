// The server's end of the link cipher. Separate from the client's cipher on purpose: the
// test server is the client's peer, and sharing one implementation would let a fault in it
// cancel out on both ends of the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/support/reference_mt.h"

namespace brennic::testserver {

// The generator: the plainly written reference (tests/support/reference_mt.h).
using twister = test::reference_mt;

// h = h * 16 + b over the bytes, b read as a signed 8-bit value, modulo 2^32.
std::int32_t text_hash(std::string_view text);

// The remainder sent in the handshake line: truncating signed division by 20.
inline int hash_remainder(std::int32_t hash) { return hash % 20; }

// Server to client: byte - k. Client to server: byte + k.
void encipher(twister &g, unsigned char *bytes, std::size_t length);
void decipher(twister &g, unsigned char *bytes, std::size_t length);

} // namespace brennic::testserver

// The server's end of the link cipher. Written separately from the client's cipher on
// purpose: the test server is the client's peer, and sharing one implementation would let
// a fault in it cancel out on both ends of the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace brennic::testserver {

// MT19937 with the 1998 reference seeding (x * 69069) and 32-bit tempered output.
class twister {
  public:
    explicit twister(std::uint32_t seed);
    std::uint32_t next();
    // One keystream byte: the next output modulo 255.
    unsigned char key_byte() { return static_cast<unsigned char>(next() % 255u); }

  private:
    void regenerate();
    static constexpr int kWords = 624;
    std::array<std::uint32_t, kWords> state_{};
    int index_ = kWords;
};

// h = h * 16 + b over the bytes, b read as a signed 8-bit value, modulo 2^32.
std::int32_t text_hash(std::string_view text);

// The remainder sent in the handshake line: truncating signed division by 20.
inline int hash_remainder(std::int32_t hash) { return hash % 20; }

// Server to client: byte - k. Client to server: byte + k.
void encipher(twister &g, unsigned char *bytes, std::size_t length);
void decipher(twister &g, unsigned char *bytes, std::size_t length);

} // namespace brennic::testserver

// The keystream generator written as plainly as possible, one output at a time: MT19937 with
// the 1998 reference seeding (x * 69069) and 32-bit tempered output. Tests hold the
// library's fast paths against it, the test server enciphers with it, and the benchmarks
// measure beside it. It shares no code with the library's cipher, so a fault there cannot
// cancel out on both ends of a link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace brennic::test {

class reference_mt {
  public:
    explicit reference_mt(std::uint32_t seed);
    std::uint32_t next();
    // One keystream byte: the next output modulo 255.
    unsigned char key_byte() { return static_cast<unsigned char>(next() % 255u); }
    // In place, one keystream byte a byte: byte + k (received), byte - k (sent).
    void add(unsigned char *bytes, std::size_t length);
    void sub(unsigned char *bytes, std::size_t length);
    // Replaces the state by 624 words; the next output regenerates them first.
    void set_state(const std::uint32_t *words);

  private:
    static constexpr int kWords = 624;
    std::array<std::uint32_t, kWords> state_{};
    int index_ = kWords;
};

} // namespace brennic::test

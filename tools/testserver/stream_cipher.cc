#include "tools/testserver/stream_cipher.h"

namespace brennic::testserver {

namespace {
constexpr int kMiddle = 397;
constexpr std::uint32_t kUpper = 0x80000000u;
constexpr std::uint32_t kLower = 0x7FFFFFFFu;
constexpr std::uint32_t kTwist = 0x9908B0DFu;

std::uint32_t twist(std::uint32_t hi_word, std::uint32_t lo_word, std::uint32_t far) {
    std::uint32_t y = (hi_word & kUpper) | (lo_word & kLower);
    return far ^ (y >> 1) ^ ((y & 1u) ? kTwist : 0u);
}
} // namespace

twister::twister(std::uint32_t seed) {
    state_[0] = seed;
    for (int i = 1; i < kWords; ++i)
        state_[i] = state_[i - 1] * 69069u;
}

void twister::regenerate() {
    for (int k = 0; k < kWords; ++k) {
        state_[k] = twist(state_[k], state_[(k + 1) % kWords], state_[(k + kMiddle) % kWords]);
    }
    index_ = 0;
}

std::uint32_t twister::next() {
    if (index_ >= kWords) regenerate();
    std::uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

std::int32_t text_hash(std::string_view text) {
    std::uint32_t h = 0;
    for (char c : text) {
        h = h * 16u +
            static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    }
    return static_cast<std::int32_t>(h);
}

void encipher(twister &g, unsigned char *bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(bytes[i] - g.key_byte());
}

void decipher(twister &g, unsigned char *bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(bytes[i] + g.key_byte());
}

} // namespace brennic::testserver

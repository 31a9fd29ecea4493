#include "tests/support/reference_mt.h"

namespace brennic::test {

reference_mt::reference_mt(std::uint32_t seed) {
    state_[0] = seed;
    for (int i = 1; i < kWords; ++i)
        state_[i] = state_[i - 1] * 69069u;
}

std::uint32_t reference_mt::next() {
    if (index_ >= kWords) {
        for (int k = 0; k < kWords; ++k) {
            const std::uint32_t y =
                (state_[k] & 0x80000000u) | (state_[(k + 1) % kWords] & 0x7FFFFFFFu);
            state_[k] = state_[(k + 397) % kWords] ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
        }
        index_ = 0;
    }
    std::uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

void reference_mt::set_state(const std::uint32_t *words) {
    for (int i = 0; i < kWords; ++i)
        state_[i] = words[i];
    index_ = kWords;
}

void reference_mt::add(unsigned char *bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(bytes[i] + key_byte());
}

void reference_mt::sub(unsigned char *bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>(bytes[i] - key_byte());
}

} // namespace brennic::test

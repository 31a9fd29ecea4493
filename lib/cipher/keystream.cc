#include "cipher/keystream.h"

#include <cstdint>
#include <new>

namespace brennic {

namespace {

constexpr int kMiddle = 397;
constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr std::uint32_t kTwist = 0x9908B0DFu;
constexpr std::uint32_t kSeedMultiplier = 69069u;

void regenerate(mt_state *g) {
    std::uint32_t *s = g->state;
    int k = 0;
    for (; k < kMtWords - kMiddle; ++k) {
        const std::uint32_t y = (s[k] & kUpperMask) | (s[k + 1] & kLowerMask);
        s[k] = s[k + kMiddle] ^ (y >> 1) ^ g->mag[y & 1u];
    }
    for (; k < kMtWords - 1; ++k) {
        const std::uint32_t y = (s[k] & kUpperMask) | (s[k + 1] & kLowerMask);
        s[k] = s[k + kMiddle - kMtWords] ^ (y >> 1) ^ g->mag[y & 1u];
    }
    const std::uint32_t y = (s[kMtWords - 1] & kUpperMask) | (s[0] & kLowerMask);
    s[kMtWords - 1] = s[kMiddle - 1] ^ (y >> 1) ^ g->mag[y & 1u];
    g->index = 0;
}

std::uint32_t temper(std::uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

} // namespace

mt_state *mt_seed(std::int32_t seed) {
    auto *g = new (std::nothrow) mt_state;
    if (g == nullptr) return nullptr;
    g->mag[0] = 0;
    g->mag[1] = kTwist;
    g->state[0] = static_cast<std::uint32_t>(seed);
    for (int i = 1; i < kMtWords; ++i) g->state[i] = g->state[i - 1] * kSeedMultiplier;
    g->index = kMtWords;
    return g;
}

void mt_release(mt_state *g) { delete g; }

std::uint32_t mt_next(mt_state *g) {
    if (g->index >= kMtWords) regenerate(g);
    return temper(g->state[g->index++]);
}

int keystream_add(mt_state *g, unsigned char *buffer, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] + mt_next(g) % 255u);
    return 1;
}

int keystream_sub(mt_state *g, unsigned char *buffer, std::int32_t length) {
    for (std::int32_t i = 0; i < length; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] - mt_next(g) % 255u);
    return 1;
}

} // namespace brennic

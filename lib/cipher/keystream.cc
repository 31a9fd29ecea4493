#include "cipher/keystream.h"

#include <cstddef>
#include <cstdint>
#include <new>

#include "cipher/keystream_impl.h"

namespace brennic {

namespace {

constexpr int kMiddle = 397;
constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr std::uint32_t kTwist = 0x9908B0DFu;
constexpr std::uint32_t kSeedMultiplier = 69069u;

void regenerate_portable(mt_state *g) {
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
    for (int i = 0; i < kMtWords; ++i)
        g->cache[i] = static_cast<unsigned char>(mod255(mt_temper(s[i])));
    g->index = 0;
}

void add_portable(unsigned char *buffer, const unsigned char *keys, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(buffer[i] + keys[i]);
}

void sub_portable(unsigned char *buffer, const unsigned char *keys, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(buffer[i] - keys[i]);
}

const keystream_ops *active_ops_ptr = nullptr;

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

const keystream_ops &active_ops() {
    if (active_ops_ptr == nullptr)
        active_ops_ptr = keystream_path_available(keystream_path::avx2) ? kAvx2Ops : &kPortableOps;
    return *active_ops_ptr;
}

// Walks the buffer block by block: each block takes the cached keystream bytes from the
// generator's position to the end of its state, then the state is regenerated.
template <bool kAdd>
void apply(mt_state *g, unsigned char *buffer, std::int32_t length) {
    if (length <= 0) return;
    const keystream_ops &ops = active_ops();
    auto remaining = static_cast<std::size_t>(length);
    while (remaining > 0) {
        if (g->index >= kMtWords) ops.regenerate(g);
        std::size_t n = static_cast<std::size_t>(kMtWords - g->index);
        if (n > remaining) n = remaining;
        const unsigned char *keys = g->cache + g->index;
        if constexpr (kAdd)
            ops.add(buffer, keys, n);
        else
            ops.sub(buffer, keys, n);
        g->index += static_cast<std::int32_t>(n);
        buffer += n;
        remaining -= n;
    }
}

} // namespace

const keystream_ops kPortableOps = {regenerate_portable, add_portable, sub_portable};

bool keystream_path_available(keystream_path path) {
    if (path == keystream_path::portable) return true;
    return kAvx2Ops != nullptr && cpu_has_avx2();
}

bool select_keystream_path(keystream_path path) {
    if (!keystream_path_available(path)) return false;
    active_ops_ptr = path == keystream_path::avx2 ? kAvx2Ops : &kPortableOps;
    return true;
}

keystream_path active_keystream_path() {
    return &active_ops() == &kPortableOps ? keystream_path::portable : keystream_path::avx2;
}

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
    if (g->index >= kMtWords) active_ops().regenerate(g);
    return mt_temper(g->state[g->index++]);
}

int keystream_add(mt_state *g, unsigned char *buffer, std::int32_t length) {
    apply<true>(g, buffer, length);
    return 1;
}

int keystream_sub(mt_state *g, unsigned char *buffer, std::int32_t length) {
    apply<false>(g, buffer, length);
    return 1;
}

} // namespace brennic

#include "lib/cipher/keystream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "lib/cipher/keystream_impl.h"
#include "lib/hooks.h"

namespace brennic {

namespace {

constexpr int kMiddle = 397;
constexpr std::uint32_t kUpperMask = 0x80000000u;
constexpr std::uint32_t kLowerMask = 0x7FFFFFFFu;
constexpr std::uint32_t kTwist = 0x9908B0DFu;
constexpr std::uint32_t kSeedMultiplier = 69069u;

// mag[0] is 0, so mag[y & 1] is mag[1] masked by the low bit: no table look-up, which
// lets the compiler vectorize the loops.
inline std::uint32_t twist_word(std::uint32_t cur, std::uint32_t next, std::uint32_t far,
                                std::uint32_t mag1) {
    const std::uint32_t y = (cur & kUpperMask) | (next & kLowerMask);
    return far ^ (y >> 1) ^ ((0u - (y & 1u)) & mag1);
}

void regenerate_portable(mt_state *g) {
    std::uint32_t *s = g->state;
    const std::uint32_t mag1 = g->mag[1];
    for (int k = 0; k < kMtWords - kMiddle; ++k)
        s[k] = twist_word(s[k], s[k + 1], s[k + kMiddle], mag1);
    for (int k = kMtWords - kMiddle; k < kMtWords - 1; ++k)
        s[k] = twist_word(s[k], s[k + 1], s[k + kMiddle - kMtWords], mag1);
    s[kMtWords - 1] = twist_word(s[kMtWords - 1], s[0], s[kMiddle - 1], mag1);
    for (int i = 0; i < kMtWords; ++i)
        g->cache[i] = static_cast<unsigned char>(mod255(mt_temper(s[i])));
    g->index = 0;
}

// Sixteen bytes at a time in a loop of fixed length, which compilers turn into one vector
// operation on most CPUs, then the rest one by one.
constexpr std::size_t kChunk = 16;

void add_portable(unsigned char *__restrict buffer, const unsigned char *__restrict keys,
                  std::size_t n) {
    std::size_t i = 0;
    for (; i + kChunk <= n; i += kChunk)
        for (std::size_t j = 0; j < kChunk; ++j)
            buffer[i + j] = static_cast<unsigned char>(buffer[i + j] + keys[i + j]);
    for (; i < n; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] + keys[i]);
}

void sub_portable(unsigned char *__restrict buffer, const unsigned char *__restrict keys,
                  std::size_t n) {
    std::size_t i = 0;
    for (; i + kChunk <= n; i += kChunk)
        for (std::size_t j = 0; j < kChunk; ++j)
            buffer[i + j] = static_cast<unsigned char>(buffer[i + j] - keys[i + j]);
    for (; i < n; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] - keys[i]);
}

void block_add_portable(mt_state *g, unsigned char *buffer) {
    regenerate_portable(g);
    add_portable(buffer, g->cache, kMtWords);
    g->index = kMtWords;
}

void block_sub_portable(mt_state *g, unsigned char *buffer) {
    regenerate_portable(g);
    sub_portable(buffer, g->cache, kMtWords);
    g->index = kMtWords;
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

// Walks the buffer block by block: the cached keystream bytes from the generator's
// position to the end of its state, then either a whole fresh block applied straight to
// the buffer, or, for a last part shorter than a block, a regeneration into the cache.
template <bool kAdd> void apply(mt_state *g, unsigned char *buffer, std::int32_t length) {
    if (length <= 0) return;
    const keystream_ops &ops = active_ops();
    auto remaining = static_cast<std::size_t>(length);
    while (remaining > 0) {
        if (g->index >= kMtWords) {
            if (remaining >= static_cast<std::size_t>(kMtWords)) {
                if constexpr (kAdd)
                    ops.block_add(g, buffer);
                else
                    ops.block_sub(g, buffer);
                buffer += kMtWords;
                remaining -= kMtWords;
                continue;
            }
            ops.regenerate(g);
        }
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

const keystream_ops kPortableOps = {regenerate_portable, add_portable, sub_portable,
                                    block_add_portable, block_sub_portable};

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

// The record is plain data from the library's allocation hook (malloc unless a test has put
// a failing call there), released with free.
mt_state *mt_seed(std::int32_t seed) {
    auto *g = static_cast<mt_state *>(hooks.allocate(sizeof(mt_state)));
    if (g == nullptr) return nullptr;
    g->mag[0] = 0;
    g->mag[1] = kTwist;
    g->state[0] = static_cast<std::uint32_t>(seed);
    for (int i = 1; i < kMtWords; ++i)
        g->state[i] = g->state[i - 1] * kSeedMultiplier;
    g->index = kMtWords;
    return g;
}

void mt_release(mt_state *g) { std::free(g); }

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

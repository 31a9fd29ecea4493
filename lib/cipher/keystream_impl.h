// Internals of the keystream generator: the block operations behind keystream_add and
// keystream_sub, and the choice between the portable and the AVX2 implementation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/cipher/keystream.h"

namespace brennic {

enum class keystream_path { portable, avx2 };

// Whether this CPU and build can run the path.
bool keystream_path_available(keystream_path path);

// Makes every generator use path from now on; both give the same bytes. Returns false,
// and changes nothing, when the path is not available. The AVX2 path is chosen by
// default where the CPU has it.
bool select_keystream_path(keystream_path path);
keystream_path active_keystream_path();

// x mod 255 without a division: 256 is 1 mod 255, so x is congruent to the sum of its
// four bytes (at most 1020), and that sum to its two bytes summed (at most 258).
constexpr std::uint32_t mod255(std::uint32_t x) {
    std::uint32_t s = (x & 0x00FF00FFu) + ((x >> 8) & 0x00FF00FFu);
    s = (s & 0xFFFFu) + (s >> 16);
    s = (s & 0xFFu) + (s >> 8);
    return s >= 255u ? s - 255u : s;
}

constexpr std::uint32_t mt_temper(std::uint32_t y) {
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= y >> 18;
    return y;
}

// One implementation: regenerate the 624 words and refill the byte cache (index back to
// 0); add or subtract n keystream bytes into a buffer; and, for a generator whose block is
// used up, regenerate and apply the whole next block to 624 bytes at once (index left at
// 624, the cache not filled).
struct keystream_ops {
    void (*regenerate)(mt_state *g);
    void (*add)(unsigned char *buffer, const unsigned char *keys, std::size_t n);
    void (*sub)(unsigned char *buffer, const unsigned char *keys, std::size_t n);
    void (*block_add)(mt_state *g, unsigned char *buffer);
    void (*block_sub)(mt_state *g, unsigned char *buffer);
};

extern const keystream_ops kPortableOps;
// Null where the build has no AVX2 code.
extern const keystream_ops *const kAvx2Ops;

} // namespace brennic

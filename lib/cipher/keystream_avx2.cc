// AVX2 block operations of the keystream generator. The functions carry the avx2 target
// themselves, so the rest of the build keeps the baseline instruction set; they run only
// after a CPU check has found AVX2.
#include <cstddef>
#include <cstdint>

#include "lib/cipher/keystream_impl.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define BRENNIC_AVX2 __attribute__((target("avx2")))

namespace brennic {

namespace {

constexpr int kMiddle = 397;
constexpr int kLanes = 8;

// New words for positions k..k+7: cur = state[k..k+7], next = state[k+1..k+8],
// far = the words 397 positions ahead (wrapping round the state).
BRENNIC_AVX2 inline __m256i twist8(__m256i cur, __m256i next, __m256i far, __m256i twist) {
    const __m256i upper = _mm256_set1_epi32(static_cast<int>(0x80000000u));
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i y =
        _mm256_or_si256(_mm256_and_si256(cur, upper), _mm256_andnot_si256(upper, next));
    // All ones where the low bit of y is set: selects the twist constant. A compare
    // rather than two shifts leaves the shift units to the tempering.
    const __m256i odd = _mm256_cmpeq_epi32(_mm256_and_si256(y, one), one);
    return _mm256_xor_si256(_mm256_xor_si256(far, _mm256_srli_epi32(y, 1)),
                            _mm256_and_si256(odd, twist));
}

BRENNIC_AVX2 inline void twist_range(std::uint32_t *s, int from, int to, int far_offset,
                                     __m256i twist) {
    int k = from;
    for (; k + kLanes <= to; k += kLanes) {
        const __m256i cur = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + k));
        const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + k + 1));
        const __m256i far =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + k + far_offset));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(s + k), twist8(cur, next, far, twist));
    }
    const std::uint32_t t = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(twist));
    for (; k < to; ++k) {
        const std::uint32_t y = (s[k] & 0x80000000u) | (s[k + 1] & 0x7FFFFFFFu);
        s[k] = s[k + far_offset] ^ (y >> 1) ^ ((y & 1u) != 0 ? t : 0u);
    }
}

// Tempered outputs of eight words, each reduced to two 16-bit sums of two of its bytes
// (at most 510 each; their total is congruent to the output mod 255).
BRENNIC_AVX2 inline __m256i pair_sums8(const std::uint32_t *words) {
    __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words));
    y = _mm256_xor_si256(y, _mm256_srli_epi32(y, 11));
    y = _mm256_xor_si256(y, _mm256_and_si256(_mm256_slli_epi32(y, 7),
                                             _mm256_set1_epi32(static_cast<int>(0x9D2C5680u))));
    y = _mm256_xor_si256(y, _mm256_and_si256(_mm256_slli_epi32(y, 15),
                                             _mm256_set1_epi32(static_cast<int>(0xEFC60000u))));
    y = _mm256_xor_si256(y, _mm256_srli_epi32(y, 18));
    return _mm256_maddubs_epi16(y, _mm256_set1_epi8(1));
}

// Byte sums of sixteen words, narrowed to 16 bits and reduced to 0..254.
BRENNIC_AVX2 inline __m256i reduce16(const std::uint32_t *words) {
    // The two sums of each word added: the sum of its four bytes, at most 1020. One
    // horizontal add takes the place of a multiply-add for each eight words.
    const __m256i s = _mm256_hadd_epi16(pair_sums8(words), pair_sums8(words + kLanes));
    // The two bytes of each 16-bit sum added together.
    const __m256i t = _mm256_maddubs_epi16(s, _mm256_set1_epi8(1));
    // t is at most 258: subtract 255 where that does not wrap.
    return _mm256_min_epu16(t, _mm256_sub_epi16(t, _mm256_set1_epi16(255)));
}

BRENNIC_AVX2 void twist_state(mt_state *g) {
    std::uint32_t *s = g->state;
    const __m256i twist = _mm256_set1_epi32(static_cast<int>(g->mag[1]));
    // Words 0..226 read old words ahead; words 227..622 read words already renewed in this
    // pass, 227 behind, so eight at a time never reads a word of its own group.
    twist_range(s, 0, kMtWords - kMiddle, kMiddle, twist);
    twist_range(s, kMtWords - kMiddle, kMtWords - 1, kMiddle - kMtWords, twist);
    const std::uint32_t y = (s[kMtWords - 1] & 0x80000000u) | (s[0] & 0x7FFFFFFFu);
    s[kMtWords - 1] = s[kMiddle - 1] ^ (y >> 1) ^ g->mag[y & 1u];
}

enum class use { store, add, sub };

// Writes the keystream bytes of the whole state into out (store), or adds them to, or
// subtracts them from, the 624 bytes at out.
template <use kUse> BRENNIC_AVX2 inline void put16(unsigned char *out, __m128i keys) {
    auto *p = reinterpret_cast<__m128i *>(out);
    if constexpr (kUse == use::store)
        _mm_storeu_si128(p, keys);
    else if constexpr (kUse == use::add)
        _mm_storeu_si128(p, _mm_add_epi8(_mm_loadu_si128(p), keys));
    else
        _mm_storeu_si128(p, _mm_sub_epi8(_mm_loadu_si128(p), keys));
}

template <use kUse> BRENNIC_AVX2 inline void put32(unsigned char *out, __m256i keys) {
    auto *p = reinterpret_cast<__m256i *>(out);
    if constexpr (kUse == use::store)
        _mm256_storeu_si256(p, keys);
    else if constexpr (kUse == use::add)
        _mm256_storeu_si256(p, _mm256_add_epi8(_mm256_loadu_si256(p), keys));
    else
        _mm256_storeu_si256(p, _mm256_sub_epi8(_mm256_loadu_si256(p), keys));
}

template <use kUse>
BRENNIC_AVX2 inline void reduce_state(const std::uint32_t *s, unsigned char *out) {
    // The horizontal add and the packs work within each 128-bit half; the permutation puts
    // the groups of four bytes back in word order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int i = 0;
    for (; i + 32 <= kMtWords; i += 32) {
        const __m256i bytes = _mm256_packus_epi16(reduce16(s + i), reduce16(s + i + 16));
        put32<kUse>(out + i, _mm256_permutevar8x32_epi32(bytes, order));
    }
    for (; i + 16 <= kMtWords; i += 16) {
        const __m256i r = reduce16(s + i);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(r, r), order);
        put16<kUse>(out + i, _mm256_castsi256_si128(bytes));
    }
    static_assert(kMtWords % 16 == 0, "the state is reduced sixteen words at a time");
}

BRENNIC_AVX2 void regenerate_avx2(mt_state *g) {
    twist_state(g);
    reduce_state<use::store>(g->state, g->cache);
    g->index = 0;
}

// A whole block straight into the buffer: the cache is skipped, and the generator is left
// with its block used up.
BRENNIC_AVX2 void block_add_avx2(mt_state *g, unsigned char *buffer) {
    twist_state(g);
    reduce_state<use::add>(g->state, buffer);
    g->index = kMtWords;
}

BRENNIC_AVX2 void block_sub_avx2(mt_state *g, unsigned char *buffer) {
    twist_state(g);
    reduce_state<use::sub>(g->state, buffer);
    g->index = kMtWords;
}

BRENNIC_AVX2 void add_avx2(unsigned char *buffer, const unsigned char *keys, std::size_t n) {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        auto *p = reinterpret_cast<__m256i *>(buffer + i);
        const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(keys + i));
        _mm256_storeu_si256(p, _mm256_add_epi8(_mm256_loadu_si256(p), k));
    }
    for (; i < n; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] + keys[i]);
}

BRENNIC_AVX2 void sub_avx2(unsigned char *buffer, const unsigned char *keys, std::size_t n) {
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        auto *p = reinterpret_cast<__m256i *>(buffer + i);
        const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(keys + i));
        _mm256_storeu_si256(p, _mm256_sub_epi8(_mm256_loadu_si256(p), k));
    }
    for (; i < n; ++i)
        buffer[i] = static_cast<unsigned char>(buffer[i] - keys[i]);
}

const keystream_ops kAvx2OpsTable = {regenerate_avx2, add_avx2, sub_avx2, block_add_avx2,
                                     block_sub_avx2};

} // namespace

const keystream_ops *const kAvx2Ops = &kAvx2OpsTable;

} // namespace brennic

#else

namespace brennic {
const keystream_ops *const kAvx2Ops = nullptr;
} // namespace brennic

#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "lib/cipher/keystream.h"
#include "lib/cipher/keystream_impl.h"
#include "tests/support/reference_mt.h"

namespace brennic {

void PrintTo(keystream_path path, std::ostream *os) {
    *os << (path == keystream_path::portable ? "portable" : "avx2");
}

namespace {

// One output per byte, written as plainly as possible, to hold the fast paths against.
using test::reference_mt;

std::vector<unsigned char> random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (std::size_t i = 0; i < n; i += 4) {
        const std::uint32_t word = static_cast<std::uint32_t>(rng());
        for (std::size_t j = 0; j < 4 && i + j < n; ++j)
            v[i + j] = static_cast<unsigned char>(word >> (8 * j));
    }
    return v;
}

// Inverse of the tempering, so a test can plant the outputs it wants into the state.
std::uint32_t untemper(std::uint32_t y) {
    y ^= y >> 18;
    y ^= (y << 15) & 0xEFC60000u;
    std::uint32_t x = y;
    for (int i = 0; i < 5; ++i)
        x = y ^ ((x << 7) & 0x9D2C5680u);
    y = x;
    x = y;
    for (int i = 0; i < 3; ++i)
        x = y ^ (x >> 11);
    return x;
}

TEST(ReferenceGenerator, GoldenOutputsOfSeed4357) {
    reference_mt r(4357);
    const std::uint32_t expected[] = {3510405877u, 4290933890u, 2191955339u, 564929546u,
                                      152112058u};
    for (std::uint32_t e : expected)
        EXPECT_EQ(r.next(), e);
    std::mt19937 rng(7);
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t v = static_cast<std::uint32_t>(rng());
        ASSERT_EQ(mt_temper(untemper(v)), v) << v;
    }
}

TEST(Mod255, EdgeValuesAndRandomValuesMatchDivision) {
    const std::uint32_t edges[] = {0u,          1u,          254u,        255u,        256u,
                                   509u,        510u,        511u,        65025u,      65534u,
                                   65535u,      65536u,      0x00FF00FFu, 0xFEFEFEFEu, 0xFF00FF00u,
                                   0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (std::uint32_t x : edges)
        EXPECT_EQ(mod255(x), x % 255u) << x;
    for (std::uint32_t x = 0; x < (1u << 20); ++x)
        ASSERT_EQ(mod255(x), x % 255u) << x;
    for (std::uint32_t x = 0xFFFFFFFFu; x >= 0xFFF00000u; --x)
        ASSERT_EQ(mod255(x), x % 255u) << x;
    for (std::uint64_t m = 255u; m + 254u <= 0xFFFFFFFFu; m += 255u * 4099u) {
        ASSERT_EQ(mod255(static_cast<std::uint32_t>(m)), 0u) << m;
        ASSERT_EQ(mod255(static_cast<std::uint32_t>(m + 254u)), 254u) << m;
    }
    std::mt19937 rng(11);
    for (int i = 0; i < 4000000; ++i) {
        const std::uint32_t x = static_cast<std::uint32_t>(rng());
        ASSERT_EQ(mod255(x), x % 255u) << x;
    }
}

class Keystream : public ::testing::TestWithParam<keystream_path> {
  protected:
    void SetUp() override {
        if (!keystream_path_available(GetParam())) GTEST_SKIP() << "path not available here";
        ASSERT_TRUE(select_keystream_path(GetParam()));
        ASSERT_EQ(active_keystream_path(), GetParam());
    }
    void TearDown() override {
        select_keystream_path(keystream_path_available(keystream_path::avx2)
                                  ? keystream_path::avx2
                                  : keystream_path::portable);
    }
};

TEST_P(Keystream, GoldenValuesOfSeed4357) {
    mt_ptr g(mt_seed(4357));
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->index, 624);
    EXPECT_EQ(g->mag[0], 0u);
    EXPECT_EQ(g->mag[1], 0x9908B0DFu);
    const std::uint32_t outputs[] = {3510405877u, 4290933890u, 2191955339u, 564929546u, 152112058u};
    for (std::uint32_t e : outputs)
        EXPECT_EQ(mt_next(g.get()), e);

    mt_ptr h(mt_seed(4357));
    std::array<unsigned char, 5> zeros{};
    EXPECT_EQ(keystream_add(h.get(), zeros.data(), 5), 1);
    EXPECT_EQ(zeros, (std::array<unsigned char, 5>{142, 185, 74, 251, 223}));
}

TEST_P(Keystream, EveryLengthUpTo2000MatchesReference) {
    for (int length = 0; length <= 2000; ++length) {
        const std::int32_t seed = length * 7919 - 3000000;
        auto buf =
            random_bytes(static_cast<std::size_t>(length), static_cast<std::uint32_t>(length));
        auto want = buf;
        reference_mt r(seed);
        mt_ptr g(mt_seed(seed));
        if (length % 2 == 0) {
            r.add(want.data(), want.size());
            keystream_add(g.get(), buf.data(), length);
        } else {
            r.sub(want.data(), want.size());
            keystream_sub(g.get(), buf.data(), length);
        }
        ASSERT_EQ(buf, want) << "length " << length;
        // The generator stands exactly after the bytes it used.
        ASSERT_EQ(mt_next(g.get()), r.next()) << "length " << length;
    }
}

// Cuts a buffer into random pieces, mostly small, sometimes large; each piece is added or
// subtracted at random, and the reference does the same byte by byte.
void check_random_cuts(std::size_t total, std::uint32_t seed, std::size_t max_piece) {
    auto buf = random_bytes(total, seed);
    auto want = buf;
    reference_mt r(static_cast<std::int32_t>(seed));
    mt_ptr g(mt_seed(static_cast<std::int32_t>(seed)));
    std::mt19937 rng(seed + 1);
    std::size_t pos = 0;
    while (pos < total) {
        std::size_t piece = rng() % 8 == 0 ? rng() % (max_piece + 1) : rng() % 1300;
        piece = std::min(piece, total - pos);
        const bool add = rng() % 2 == 0;
        if (add) {
            r.add(want.data() + pos, piece);
            keystream_add(g.get(), buf.data() + pos, static_cast<std::int32_t>(piece));
        } else {
            r.sub(want.data() + pos, piece);
            keystream_sub(g.get(), buf.data() + pos, static_cast<std::int32_t>(piece));
        }
        pos += piece;
    }
    const auto mismatch = std::mismatch(buf.begin(), buf.end(), want.begin());
    ASSERT_TRUE(mismatch.first == buf.end())
        << "first difference at byte " << (mismatch.first - buf.begin()) << " of " << total;
}

TEST_P(Keystream, RandomCutsMatchReference) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed)
        check_random_cuts(50000, seed * 2654435761u, 5000);
}

TEST_P(Keystream, SixtyFourMebibytesWithRandomCutsMatchReference) {
    check_random_cuts(64u << 20, 20240601u, 3u << 20);
}

TEST_P(Keystream, MtNextStaysInStepWithKeystreamCalls) {
    reference_mt r(-12345);
    mt_ptr g(mt_seed(-12345));
    std::mt19937 rng(3);
    std::vector<unsigned char> buf(3000), want;
    for (int round = 0; round < 400; ++round) {
        const auto n = static_cast<std::size_t>(rng() % 1500);
        buf.assign(n, static_cast<unsigned char>(round));
        want = buf;
        r.add(want.data(), n);
        keystream_add(g.get(), buf.data(), static_cast<std::int32_t>(n));
        ASSERT_EQ(buf, want) << "round " << round;
        for (unsigned d = rng() % 700; d > 0; --d)
            ASSERT_EQ(mt_next(g.get()), r.next()) << "round " << round;
    }
}

TEST_P(Keystream, ZeroAndNegativeLengthsChangeNothingAndDoNotAdvance) {
    mt_ptr g(mt_seed(4357));
    std::array<unsigned char, 4> buf{1, 2, 3, 4};
    const auto before = buf;
    EXPECT_EQ(keystream_add(g.get(), buf.data(), 0), 1);
    EXPECT_EQ(keystream_sub(g.get(), buf.data(), -1), 1);
    EXPECT_EQ(keystream_add(g.get(), buf.data(), INT32_MIN), 1);
    EXPECT_EQ(buf, before);
    EXPECT_EQ(g->index, 624);
    EXPECT_EQ(mt_next(g.get()), 3510405877u);
    keystream_add(g.get(), buf.data(), 0);
    EXPECT_EQ(mt_next(g.get()), 4290933890u);
}

TEST_P(Keystream, KeyOneWrapsAndKeyZeroPassesBytes) {
    // Find positions in a long stream whose keystream byte is 1 and 0.
    constexpr std::size_t n = 100000;
    reference_mt r(99);
    std::vector<unsigned char> keys(n);
    for (auto &k : keys)
        k = r.key_byte();
    std::vector<unsigned char> ff(n, 0xFF), zero(n, 0x00);
    mt_ptr a(mt_seed(99)), s(mt_seed(99));
    keystream_add(a.get(), ff.data(), static_cast<std::int32_t>(n));
    keystream_sub(s.get(), zero.data(), static_cast<std::int32_t>(n));
    int ones = 0, zeros = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (keys[i] == 1) {
            ++ones;
            ASSERT_EQ(ff[i], 0x00) << i;
            ASSERT_EQ(zero[i], 0xFF) << i;
        } else if (keys[i] == 0) {
            ++zeros;
            ASSERT_EQ(ff[i], 0xFF) << i;
            ASSERT_EQ(zero[i], 0x00) << i;
        }
        ASSERT_NE(keys[i], 255) << i;
    }
    EXPECT_GT(ones, 100);
    EXPECT_GT(zeros, 100);
}

TEST_P(Keystream, SeedZeroGivesAllZeroKeystream) {
    mt_ptr g(mt_seed(0));
    auto buf = random_bytes(5000, 5);
    const auto before = buf;
    keystream_add(g.get(), buf.data(), 2500);
    keystream_sub(g.get(), buf.data() + 2500, 2500);
    EXPECT_EQ(buf, before);
    for (int i = 0; i < 700; ++i)
        ASSERT_EQ(mt_next(g.get()), 0u);
}

TEST_P(Keystream, OutputsStraddleRegenerationWithoutGapOrRepeat) {
    reference_mt r(4357);
    std::vector<std::uint32_t> want(1300);
    for (auto &w : want)
        w = r.next();
    // Through mt_next alone.
    mt_ptr g(mt_seed(4357));
    for (std::size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(mt_next(g.get()), want[i]) << i;
    // Keystream bytes cut just before, at and after the 624th output.
    for (int cut : {622, 623, 624, 625, 1247, 1248, 1249}) {
        mt_ptr h(mt_seed(4357));
        std::vector<unsigned char> buf(1300, 0);
        keystream_add(h.get(), buf.data(), cut);
        keystream_add(h.get(), buf.data() + cut, 1300 - cut);
        for (std::size_t i = 0; i < buf.size(); ++i)
            ASSERT_EQ(buf[i], want[i] % 255u) << "cut " << cut << " byte " << i;
    }
}

TEST_P(Keystream, SubThenAddOnSecondGeneratorRestores) {
    const auto original = random_bytes(200000, 17);
    auto buf = original;
    mt_ptr tx(mt_seed(-7)), rx(mt_seed(-7));
    std::mt19937 rng(19);
    auto run = [&](bool add) {
        std::size_t pos = 0;
        while (pos < buf.size()) {
            const std::size_t piece = std::min<std::size_t>(rng() % 3000, buf.size() - pos);
            auto *p = buf.data() + pos;
            if (add)
                keystream_add(rx.get(), p, static_cast<std::int32_t>(piece));
            else
                keystream_sub(tx.get(), p, static_cast<std::int32_t>(piece));
            pos += piece;
        }
    };
    run(false);
    EXPECT_NE(buf, original);
    run(true);
    EXPECT_EQ(buf, original);
}

// Plants chosen outputs (edge values of the mod 255 reduction) into the first 227 words
// of the next regeneration and checks the cached keystream bytes against a division.
TEST_P(Keystream, RegenerationReducesEdgeOutputsExactly) {
    const std::uint32_t wanted[] = {0u,          1u,          254u,        255u,        256u,
                                    510u,        65535u,      65536u,      0xFEFEFEFEu, 0x00FF00FFu,
                                    0xFFFFFF00u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu,
                                    1020u,       0x03FC03FCu};
    constexpr int count = static_cast<int>(sizeof wanted / sizeof wanted[0]);
    mt_ptr g(mt_seed(1));
    for (int k = 0; k <= 227; ++k)
        g->state[k] = static_cast<std::uint32_t>(k) * 0x01010101u;
    for (int k = 0; k < 227; ++k) {
        const std::uint32_t out = wanted[k % count];
        const std::uint32_t y = (g->state[k] & 0x80000000u) | (g->state[k + 1] & 0x7FFFFFFFu);
        g->state[k + 397] = untemper(out) ^ (y >> 1) ^ ((y & 1u) ? 0x9908B0DFu : 0u);
    }
    reference_mt r(1);
    r.set_state(g->state);
    mt_ptr cut(mt_seed(1));
    std::copy(std::begin(g->state), std::end(g->state), std::begin(cut->state));
    // One call of a whole block, and the same block through the cache in two calls.
    std::vector<unsigned char> whole(624, 0), parts(624, 0);
    keystream_add(g.get(), whole.data(), 624);
    keystream_add(cut.get(), parts.data(), 1);
    keystream_add(cut.get(), parts.data() + 1, 623);
    for (int k = 0; k < 624; ++k) {
        const std::uint32_t out = r.next();
        if (k < 227) {
            ASSERT_EQ(out, wanted[k % count]) << k;
        }
        ASSERT_EQ(whole[k], out % 255u) << "word " << k << " output " << out;
        ASSERT_EQ(parts[k], out % 255u) << "word " << k << " output " << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, Keystream,
                         ::testing::Values(keystream_path::portable, keystream_path::avx2),
                         [](const auto &info) {
                             return info.param == keystream_path::portable ? std::string("Portable")
                                                                           : std::string("Avx2");
                         });

TEST(KeystreamPaths, Avx2IsChosenByDefaultWhereAvailable) {
    if (!keystream_path_available(keystream_path::avx2)) GTEST_SKIP() << "no AVX2 here";
    EXPECT_EQ(active_keystream_path(), keystream_path::avx2);
}

} // namespace
} // namespace brennic

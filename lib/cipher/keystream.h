// Keystream generator of the link cipher: MT19937 with the 1998 reference seeding and
// 32-bit integer output. Each byte on a link is shifted by (output mod 255): added when
// received, subtracted when sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brennic {

inline constexpr int kMtWords = 624;

struct mt_state {
    std::uint32_t state[kMtWords];
    std::int32_t index;   // next word to output; >= 624 means regenerate first
    std::uint32_t mag[2]; // 0 and 0x9908B0DF
    // Keystream bytes of the current block: whenever index < 624, cache[i] holds the
    // output of state[i] mod 255. Filled at each regeneration, so the keystream calls
    // work in blocks while mt_next stays in step with them.
    unsigned char cache[kMtWords];
};

// A new generator seeded with the 32 bits of seed, or null when memory is exhausted. Its
// storage comes from hooks.allocate (lib/hooks.h).
mt_state *mt_seed(std::int32_t seed);
void mt_release(mt_state *g);

struct mt_deleter {
    void operator()(mt_state *g) const { mt_release(g); }
};
using mt_ptr = std::unique_ptr<mt_state, mt_deleter>;

std::uint32_t mt_next(mt_state *g);

// In place: byte i becomes (byte + k) mod 256, or (byte - k) mod 256, where k is the next
// output mod 255. A length of 0 or less changes nothing. Both return 1.
int keystream_add(mt_state *g, unsigned char *buffer, std::int32_t length);
int keystream_sub(mt_state *g, unsigned char *buffer, std::int32_t length);

} // namespace brennic

#include "tools/testserver/stream_cipher.h"

namespace brennic::testserver {

std::int32_t text_hash(std::string_view text) {
    std::uint32_t h = 0;
    for (char c : text) {
        h = h * 16u +
            static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    }
    return static_cast<std::int32_t>(h);
}

void encipher(twister &g, unsigned char *bytes, std::size_t length) { g.sub(bytes, length); }

void decipher(twister &g, unsigned char *bytes, std::size_t length) { g.add(bytes, length); }

} // namespace brennic::testserver

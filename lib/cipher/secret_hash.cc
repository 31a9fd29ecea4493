#include "lib/cipher/secret_hash.h"

#include <cstdint>

namespace brennic {

std::int32_t secret_hash(const char *text) {
    std::uint32_t h = 0;
    if (text == nullptr) return 0;
    for (const char *p = text; *p != '\0'; ++p) {
        // Bytes are signed here: 0x80 to 0xFF lower the sum.
        const auto b = static_cast<std::int32_t>(static_cast<signed char>(*p));
        h = h * 16u + static_cast<std::uint32_t>(b);
    }
    return static_cast<std::int32_t>(h);
}

} // namespace brennic

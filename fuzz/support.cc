#include "fuzz/support.h"

#include <cstdio>
#include <cstdlib>

namespace brennic::fuzz {

std::string byte_source::take(std::size_t n) {
    if (n > remaining()) n = remaining();
    std::string piece(reinterpret_cast<const char *>(data_ + pos_), n);
    pos_ += n;
    return piece;
}

std::size_t chunk_size(std::uint8_t selector) {
    constexpr std::uint8_t kSmallSteps = 200;
    constexpr std::size_t kLargeStep = 400;
    if (selector < kSmallSteps) return static_cast<std::size_t>(selector) + 1;
    return (static_cast<std::size_t>(selector) - kSmallSteps + 1) * kLargeStep;
}

std::string as_text(const std::string &bytes) { return std::string(bytes.c_str()); }

void fail(const char *target, const char *what) {
    std::fprintf(stderr, "fuzz %s: invariant broken: %s\n", target, what);
    std::fflush(stderr);
    std::abort();
}

} // namespace brennic::fuzz

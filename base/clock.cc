#include "base/clock.h"

#include <ctime>

namespace brennic {

// clock_gettime rather than std::chrono's steady clock, whose now() lives in the C++ runtime
// library that the library and the console otherwise do without (start-up time). The C
// libraries of both platforms have it: glibc, and on Windows the winpthread library that
// mingw-w64 links in, whose CLOCK_MONOTONIC reads the performance counter.
std::int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::int64_t monotonic_ms() { return monotonic_ns() / 1000000; }

} // namespace brennic

// The steady clock that every layer measures time limits with.
#pragma once

#include <cstdint>

namespace brennic {

// A monotonic clock, unaffected by changes of the calendar time.
std::int64_t monotonic_ns();
std::int64_t monotonic_ms();

} // namespace brennic

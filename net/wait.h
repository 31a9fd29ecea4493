// Readiness waits with the platform's poll: what counts as ready in each direction, and the time
// limit.
#pragma once

#include "net/platform.h"

namespace brennic {

// A socket counts as readable on data, end of stream or error; as writable on room or error;
// as exceptional on urgent data.
inline constexpr short kReadableEvents = POLLIN | POLLRDNORM | POLLRDBAND | POLLHUP | POLLERR;
inline constexpr short kWritableEvents = POLLOUT | POLLWRNORM | POLLWRBAND | POLLERR;
inline constexpr short kExceptionEvents = POLLPRI;

// At most this many sockets are watched per direction.
inline constexpr int kMaxWaitSockets = 64;

// A negative limit waits not at all rather than for ever.
inline int poll_limit(int ms) { return ms < 0 ? 0 : ms; }

} // namespace brennic

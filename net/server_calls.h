// The platform calls a server needs beyond the socket table: how a listening socket holds its
// port, a wait finer than a millisecond, the requests to stop, and what an
// error code means. Each platform implements them in its own server_calls.cc.
#pragma once

#include <cstdint>

#include "net/platform.h"
#include "net/tcp.h" // bound_port

namespace brennic {

// Readies sock, before its bind, to hold its port as a server should. On POSIX the port may be
// bound again while connections of an earlier server linger on it (SO_REUSEADDR). Windows
// allows that anyway, and there the same option would let any other socket bind the port
// too: the port is held for this socket alone instead (SO_EXCLUSIVEADDRUSE).
// Returns the platform's result (0 on success).
int hold_port(int sock);

// sys.poll with a limit in microseconds (a negative one waits not at all). Where the
// platform's wait counts in milliseconds the limit is rounded up.
int poll_fine(poll_entry *entries, poll_count count, std::int64_t limit_us);

// From now on the requests to stop the process call on_stop (once per request, on whatever
// thread the platform delivers them) instead of ending it: SIGTERM and SIGINT on POSIX, where
// SIGPIPE is ignored as well; Ctrl+C and Ctrl+Break on Windows (closing the console still ends
// the process). on_stop must only set a lock-free atomic flag.
void watch_stop_requests(void (*on_stop)());

// Whether a socket error code (sys.last_error) says the process or the system ran out of
// sockets, descriptors or memory: a wait, not a broken peer, cures it.
bool out_of_resources(std::int32_t code);

// The platform's text for a socket error code (sys.last_error; on Windows any system error
// code), in a static buffer valid until the next call; without a line feed.
const char *error_text(std::int32_t code);

} // namespace brennic

// The POSIX socket headers and the names the socket layer uses from them.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace brennic {

// One socket of a poll: the platform's own record.
using poll_entry = pollfd;
using poll_count = nfds_t;

// A receive that never waits, in either mode of the socket.
inline constexpr int kRecvNoWait = MSG_DONTWAIT;
// A send to a peer that has gone away gives an error, never SIGPIPE.
inline constexpr int kSendNoSignal = MSG_NOSIGNAL;

} // namespace brennic

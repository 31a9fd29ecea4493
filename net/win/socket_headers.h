// The Windows Sockets headers and the names the socket layer uses from them.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <sys/types.h> // ssize_t

#include <cstddef>

namespace brennic {

// One socket of a poll. The socket is held as an int, as everywhere in the library; the
// flags are the platform's POLLIN, POLLOUT... The wait is made with select.
struct poll_entry {
    int fd;
    short events;
    short revents;
};
using poll_count = unsigned long;

// A receive that never waits, in either mode of the socket: the platform has no such flag,
// so the table's receive checks readability first when it is given this bit.
inline constexpr int kRecvNoWait = 0x40000000;
// The platform raises no signal for a send to a peer that has gone away.
inline constexpr int kSendNoSignal = 0;

} // namespace brennic

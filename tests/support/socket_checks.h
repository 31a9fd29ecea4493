// What a test asks of a socket that the platform table does not tell, answered by each
// platform in its own way (posix/socket_checks.cc, win/socket_checks.cc).
#pragma once

namespace brennic::test {

// Whether a socket is in non-blocking mode. It must have nothing waiting to be read: where
// the platform keeps the mode to itself, a receive that may wait briefly tells it.
bool is_non_blocking(int sock);

// Whether a child process would inherit the socket.
bool is_inheritable(int sock);

// Whether sock is still an open descriptor (POSIX) or socket (Windows).
bool is_open(int sock);

// Shuts both directions of a connection down: a send that waits on it returns.
void shut_down(int sock);

// How many descriptors the process holds (POSIX), or how many sockets (Windows): a socket left
// open shows in either count.
int open_handles();

} // namespace brennic::test

// What the socket utilities' tests ask of the platform beyond the socket table. Each platform
// answers in its own probes.cc (posix/, win/), chosen by CMake as net/ chooses its own.
#pragma once

namespace brennic::testing {

// Whether a child process would inherit sock.
bool child_inherits(int sock);

// Whether sock is in non-blocking mode. Waits at most about two seconds where the platform
// can only tell by trying a receive.
bool is_nonblocking(int sock);

// A figure that grows with every socket the process holds open: the lowest free descriptor on
// POSIX, the count of open sockets on Windows.
long open_handle_mark();

// Whether sock carries the option hold_port (net/server_calls.h) sets.
bool holds_port_option(int sock);

// Makes path a symbolic link to target. false when this system or this user cannot make one
// (Windows wants a privilege or developer mode, and some systems only pretend to make it).
bool make_link(const char *target, const char *path);

// Whether a death test's statement runs in a copy of the test's process (fork), holding the
// sockets the test made under the same numbers. On Windows it runs in a new process that
// makes its own.
bool death_test_shares_sockets();

} // namespace brennic::testing

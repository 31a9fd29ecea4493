// What the socket utilities' tests ask of the platform beyond the table and the shared socket
// checks (tests/support/socket_checks.h). Each platform answers in its own probes.cc (posix/,
// win/), chosen by CMake as net/ chooses its own.
#pragma once

namespace brennic::testing {

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

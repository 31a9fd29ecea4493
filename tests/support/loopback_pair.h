// Sockets for tests, made through the platform table so that the same test runs on every
// platform: the socket library started once, the platform's real calls for fakes to pass
// on to, loopback listeners, and a connected TCP pair standing in for a link.
#pragma once

#include "net/platform.h"

namespace brennic::test {

// Starts the platform's socket library once for the test program (Windows Sockets needs it
// before any socket call; nothing to do on POSIX). Every helper here calls it first.
void start_sockets();

// The platform's real calls, whatever `sys` holds at the moment: what fakes pass on to, and
// what the helpers here and test servers on other threads use.
const socket_calls &real_calls();

// A socket listening on the loopback address of family (AF_INET: 127.0.0.1, AF_INET6: ::1)
// with a port chosen by the system, or -1. bound_port (net/tcp.h) tells the port.
int listen_loopback(int family, int backlog);

// The two ends of a TCP connection on 127.0.0.1: fds[0] connected, fds[1] accepted; both
// blocking, with small segments sent at once (TCP_NODELAY), as a test's send is then
// readable at the other end. false, with both -1, when it could not be made.
bool loopback_pair(int fds[2]);

} // namespace brennic::test

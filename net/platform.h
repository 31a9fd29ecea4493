// The platform's socket calls, reached through one table so that tests can replace any of
// them to inject failures or capture arguments. Every socket call of net/ goes through `sys`.
// Only net/ and its tests include this header.
//
// The declarations are the same on every platform; the types and constants they use come
// from the platform's own header (posix/ or win/), and each platform fills the table in its
// own platform.cc.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include "net/win/socket_headers.h"
#else
#include "net/posix/socket_headers.h"
#endif

namespace brennic {

struct socket_calls {
    // A socket that child processes do not inherit, or -1.
    int (*socket)(int family, int type, int protocol);
    int (*connect)(int sock, const sockaddr *address, socklen_t length);
    int (*bind)(int sock, const sockaddr *address, socklen_t length);
    int (*listen)(int sock, int backlog);
    int (*accept)(int sock, sockaddr *address, socklen_t *length); // child-private socket
    // flags: kRecvNoWait / kSendNoSignal, or 0.
    ssize_t (*send)(int sock, const void *bytes, size_t length, int flags);
    ssize_t (*recv)(int sock, void *buffer, size_t length, int flags);
    int (*close)(int sock);
    int (*poll)(poll_entry *entries, poll_count count, int timeout_ms);
    int (*setsockopt)(int sock, int level, int name, const void *value, socklen_t length);
    int (*getsockopt)(int sock, int level, int name, void *value, socklen_t *length);
    int (*getsockname)(int sock, sockaddr *address, socklen_t *length);
    int (*set_nonblocking)(int sock, int on); // FIONBIO with on: 1 non-blocking, 0 blocking
    int (*getaddrinfo)(const char *node, const char *service, const addrinfo *hints,
                       addrinfo **result);
    void (*freeaddrinfo)(addrinfo *result);
    int (*gethostname)(char *name, size_t length);
    void (*sleep)(int ms); // every sleep of the socket layer
    // The calling thread's last socket error as a Windows Sockets code (10035...), and its
    // setter: fakes report their failures through it.
    std::int32_t (*last_error)();
    void (*set_error)(std::int32_t code);
};

extern socket_calls sys;

// Puts the real calls back into `sys`.
void reset_socket_calls();

// The Windows Sockets code for an error the platform reports in its own numbering (the value
// a socket's SO_ERROR option holds).
std::int32_t sock_code_of(int platform_error);

// Limits how long one send on a blocking socket waits for room, through sys.setsockopt.
// Returns the platform's result (0 on success).
int set_send_timeout(int sock, std::int64_t ms);

// Holds bytes not yet sent to about queue_bytes where the platform can; returns 0 when it did
// or when the platform has no such limit (its send time limit alone then bounds a send).
int set_unsent_limit(int sock, int queue_bytes);

// Holds (on) or releases (off) partial segments; 0 on success, -1 where the platform cannot.
int set_cork(int sock, int on);

} // namespace brennic

// The platform's socket calls, reached through one table so that tests can replace any of
// them to inject failures or capture arguments. Every socket call of net/ goes through `sys`.
// Only net/ and its tests include this header.
#pragma once

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace brennic {

struct socket_calls {
    int (*socket)(int family, int type, int protocol);
    int (*connect)(int sock, const sockaddr *address, socklen_t length);
    int (*bind)(int sock, const sockaddr *address, socklen_t length);
    int (*listen)(int sock, int backlog);
    int (*accept)(int sock, sockaddr *address, socklen_t *length); // child-private socket
    ssize_t (*send)(int sock, const void *bytes, size_t length, int flags);
    ssize_t (*recv)(int sock, void *buffer, size_t length, int flags);
    int (*close)(int sock);
    int (*poll)(pollfd *fds, nfds_t count, int timeout_ms);
    int (*setsockopt)(int sock, int level, int name, const void *value, socklen_t length);
    int (*getsockopt)(int sock, int level, int name, void *value, socklen_t *length);
    int (*set_nonblocking)(int sock, int on); // FIONBIO with on: 1 non-blocking, 0 blocking
    int (*getaddrinfo)(const char *node, const char *service, const addrinfo *hints,
                       addrinfo **result);
    void (*freeaddrinfo)(addrinfo *result);
    int (*gethostname)(char *name, size_t length);
    void (*sleep)(int ms); // every sleep of the socket layer
};

extern socket_calls sys;

// Puts the real calls back into `sys`.
void reset_socket_calls();

} // namespace brennic

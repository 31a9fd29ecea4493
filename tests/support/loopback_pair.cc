#include "tests/support/loopback_pair.h"

#include <mutex>

#include "net/tcp.h"
#include "tests/support/socket_checks.h"

namespace brennic::test {
namespace {

// `sys` holds the real calls before any code runs (it is constant-initialized), so this copy
// made at start-up is the real table whatever a test puts into `sys` later.
const socket_calls kRealCalls = sys;

// The loopback address of family with port, and its size.
socklen_t loopback_address(int family, int port, sockaddr_storage *address) {
    *address = sockaddr_storage{};
    if (family == AF_INET6) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        return sizeof *v6;
    }
    auto *v4 = reinterpret_cast<sockaddr_in *>(address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    return sizeof *v4;
}

} // namespace

void start_sockets() {
    static std::once_flag started;
    std::call_once(started, [] { winsock_start(); });
}

const socket_calls &real_calls() { return kRealCalls; }

int listen_loopback(int family, int backlog) {
    start_sockets();
    const int sock = kRealCalls.socket(family, SOCK_STREAM, 0);
    if (sock < 0) return -1;
    sockaddr_storage address;
    const socklen_t length = loopback_address(family, 0, &address);
    if (kRealCalls.bind(sock, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        kRealCalls.listen(sock, backlog) == 0)
        return sock;
    kRealCalls.close(sock);
    return -1;
}

bool loopback_pair(int fds[2]) {
    fds[0] = fds[1] = -1;
    const int listener = listen_loopback(AF_INET, 1);
    if (listener < 0) return false;
    sockaddr_storage address;
    const socklen_t length = loopback_address(AF_INET, bound_port(listener), &address);
    fds[0] = kRealCalls.socket(AF_INET, SOCK_STREAM, 0);
    if (fds[0] >= 0 &&
        kRealCalls.connect(fds[0], reinterpret_cast<sockaddr *>(&address), length) == 0)
        fds[1] = kRealCalls.accept(listener, nullptr, nullptr);
    kRealCalls.close(listener);
    if (fds[1] < 0) {
        if (fds[0] >= 0) kRealCalls.close(fds[0]);
        fds[0] = -1;
        return false;
    }
    const int on = 1;
    for (int i = 0; i < 2; ++i)
        kRealCalls.setsockopt(fds[i], IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

} // namespace brennic::test

#include "net/platform.h"

#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "net/posix/errno_codes.h"

namespace brennic {
namespace {

// Created close-on-exec, so child processes never inherit it.
int real_socket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int real_accept(int sock, sockaddr *address, socklen_t *length) {
    return ::accept4(sock, address, length, SOCK_CLOEXEC);
}

int real_set_nonblocking(int sock, int on) {
    int arg = on;
    return ::ioctl(sock, FIONBIO, &arg);
}

void real_sleep(int ms) {
    if (ms <= 0) return;
    timespec wanted{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    timespec left{};
    // A signal cuts the sleep short; sleep on for what is left.
    while (::nanosleep(&wanted, &left) == -1 && errno == EINTR)
        wanted = left;
}

std::int32_t real_last_error() { return sock_code_from_errno(errno); }

void real_set_error(std::int32_t code) { errno = errno_from_sock_code(code); }

constexpr socket_calls kRealCalls{
    .socket = real_socket,
    .connect = ::connect,
    .bind = ::bind,
    .listen = ::listen,
    .accept = real_accept,
    .send = ::send,
    .recv = ::recv,
    .close = ::close,
    .poll = ::poll,
    .setsockopt = ::setsockopt,
    .getsockopt = ::getsockopt,
    .getsockname = ::getsockname,
    .set_nonblocking = real_set_nonblocking,
    .getaddrinfo = ::getaddrinfo,
    .freeaddrinfo = ::freeaddrinfo,
    .gethostname = ::gethostname,
    .sleep = real_sleep,
    .last_error = real_last_error,
    .set_error = real_set_error,
};

} // namespace

socket_calls sys = kRealCalls;

void reset_socket_calls() { sys = kRealCalls; }

std::int32_t sock_code_of(int platform_error) { return sock_code_from_errno(platform_error); }

int set_send_timeout(int sock, std::int64_t ms) {
    ms = std::max<std::int64_t>(ms, 0);
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(ms / 1000);
    limit.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    return sys.setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int set_unsent_limit(int sock, int queue_bytes) {
    return sys.setsockopt(sock, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &queue_bytes, sizeof queue_bytes);
}

int set_cork(int sock, int on) {
    return sys.setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

void winsock_start() {}

} // namespace brennic

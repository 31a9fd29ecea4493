#include "net/platform.h"

#include <cerrno>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace brennic {
namespace {

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

constexpr socket_calls kRealCalls{
    .socket = ::socket,
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
    .set_nonblocking = real_set_nonblocking,
    .getaddrinfo = ::getaddrinfo,
    .freeaddrinfo = ::freeaddrinfo,
    .gethostname = ::gethostname,
    .sleep = real_sleep,
};

} // namespace

socket_calls sys = kRealCalls;

void reset_socket_calls() { sys = kRealCalls; }

} // namespace brennic

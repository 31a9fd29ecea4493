#include "net/platform.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "base/diag.h"
#include "net/socket_errors.h"

namespace brennic {
namespace {

SOCKET native(int sock) { return sock < 0 ? INVALID_SOCKET : static_cast<SOCKET>(sock); }

// Socket handles are small multiples of four, so they fit the int the library keeps them in.
int from_native(SOCKET sock) { return sock == INVALID_SOCKET ? -1 : static_cast<int>(sock); }

// The new socket is kept from child processes by clearing the handle's inherit flag. A copy
// made with DuplicateHandle would not do: a socket handle so copied cannot send, nor be
// closed.
int keep_private(SOCKET sock) {
    if (sock == INVALID_SOCKET) return -1;
    if (SetHandleInformation(reinterpret_cast<HANDLE>(sock), HANDLE_FLAG_INHERIT, 0))
        return from_native(sock);
    const DWORD error = GetLastError();
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char *>(&text), 0, nullptr);
    log_error("*** Warning *** Couldn't dup socket: error %d (%s)", static_cast<int>(error),
              text != nullptr ? text : "");
    if (text != nullptr) LocalFree(text);
    ::closesocket(sock);
    return -1;
}

int real_socket(int family, int type, int protocol) {
    return keep_private(::socket(family, type, protocol));
}

int real_connect(int sock, const sockaddr *address, socklen_t length) {
    return ::connect(native(sock), address, length);
}

int real_bind(int sock, const sockaddr *address, socklen_t length) {
    return ::bind(native(sock), address, length);
}

int real_listen(int sock, int backlog) { return ::listen(native(sock), backlog); }

int real_accept(int sock, sockaddr *address, socklen_t *length) {
    return keep_private(::accept(native(sock), address, length));
}

// One call moves at most this many bytes: the platform counts them in an int.
constexpr size_t kLargestTransfer = 0x7FFFFFFF;

ssize_t real_send(int sock, const void *bytes, size_t length, int flags) {
    return ::send(native(sock), static_cast<const char *>(bytes),
                  static_cast<int>(std::min(length, kLargestTransfer)), flags & ~kRecvNoWait);
}

// A socket that would wait for readable data: without a flag to stop a blocking receive from
// waiting, a receive that must not wait first asks select whether anything is there.
bool nothing_to_read(SOCKET sock) {
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(sock, &read_set);
    timeval none{0, 0};
    return ::select(0, &read_set, nullptr, nullptr, &none) == 0;
}

ssize_t real_recv(int sock, void *buffer, size_t length, int flags) {
    const SOCKET s = native(sock);
    if ((flags & kRecvNoWait) != 0 && nothing_to_read(s)) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return ::recv(s, static_cast<char *>(buffer),
                  static_cast<int>(std::min(length, kLargestTransfer)), flags & ~kRecvNoWait);
}

int real_close(int sock) { return ::closesocket(native(sock)); }

// poll over select: every entry goes into the exception set as well, where a connect that
// failed reports its end. An empty wait sleeps, as select refuses to wait on nothing.
int real_poll(poll_entry *entries, poll_count count, int timeout_ms) {
    for (poll_count i = 0; i < count; ++i)
        entries[i].revents = 0;
    if (count == 0) {
        if (timeout_ms > 0) Sleep(static_cast<DWORD>(timeout_ms));
        return 0;
    }
    fd_set read_set, write_set, error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    poll_count used = 0;
    for (poll_count i = 0; i < count && used < FD_SETSIZE; ++i, ++used) {
        const SOCKET s = native(entries[i].fd);
        if (entries[i].events & (POLLIN | POLLRDNORM | POLLRDBAND)) FD_SET(s, &read_set);
        if (entries[i].events & (POLLOUT | POLLWRNORM)) FD_SET(s, &write_set);
        FD_SET(s, &error_set);
    }
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int ready =
        ::select(0, &read_set, &write_set, &error_set, timeout_ms < 0 ? nullptr : &limit);
    if (ready <= 0) return ready;
    int marked = 0;
    for (poll_count i = 0; i < used; ++i) {
        const SOCKET s = native(entries[i].fd);
        short got = 0;
        if (FD_ISSET(s, &read_set)) got |= POLLIN;
        if (FD_ISSET(s, &write_set)) got |= POLLOUT;
        if (FD_ISSET(s, &error_set)) got |= (entries[i].events & POLLPRI) ? POLLPRI : POLLERR;
        entries[i].revents = got;
        if (got != 0) ++marked;
    }
    return marked;
}

int real_setsockopt(int sock, int level, int name, const void *value, socklen_t length) {
    return ::setsockopt(native(sock), level, name, static_cast<const char *>(value), length);
}

int real_getsockopt(int sock, int level, int name, void *value, socklen_t *length) {
    return ::getsockopt(native(sock), level, name, static_cast<char *>(value), length);
}

int real_getsockname(int sock, sockaddr *address, socklen_t *length) {
    return ::getsockname(native(sock), address, length);
}

int real_set_nonblocking(int sock, int on) {
    u_long arg = on != 0 ? 1 : 0;
    return ::ioctlsocket(native(sock), FIONBIO, &arg);
}

int real_getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                     addrinfo **result) {
    return ::getaddrinfo(node, service, hints, result);
}

void real_freeaddrinfo(addrinfo *result) { ::freeaddrinfo(result); }

int real_gethostname(char *name, size_t length) {
    return ::gethostname(name, static_cast<int>(std::min<size_t>(length, 0x7FFFFFFF)));
}

void real_sleep(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

std::int32_t real_last_error() { return WSAGetLastError(); }

void real_set_error(std::int32_t code) { WSASetLastError(code); }

constexpr socket_calls kRealCalls{
    .socket = real_socket,
    .connect = real_connect,
    .bind = real_bind,
    .listen = real_listen,
    .accept = real_accept,
    .send = real_send,
    .recv = real_recv,
    .close = real_close,
    .poll = real_poll,
    .setsockopt = real_setsockopt,
    .getsockopt = real_getsockopt,
    .getsockname = real_getsockname,
    .set_nonblocking = real_set_nonblocking,
    .getaddrinfo = real_getaddrinfo,
    .freeaddrinfo = real_freeaddrinfo,
    .gethostname = real_gethostname,
    .sleep = real_sleep,
    .last_error = real_last_error,
    .set_error = real_set_error,
};

} // namespace

socket_calls sys = kRealCalls;

void reset_socket_calls() { sys = kRealCalls; }

std::int32_t sock_code_of(int platform_error) { return platform_error; }

int set_send_timeout(int sock, std::int64_t ms) {
    const DWORD limit = static_cast<DWORD>(std::clamp<std::int64_t>(ms, 0, 0x7FFFFFFF));
    return sys.setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// The platform cannot hold unsent bytes to a limit; the send time limit alone bounds a send.
int set_unsent_limit(int, int) { return 0; }

// Nor can it hold partial segments: lines sent together leave one by one.
int set_cork(int, int) { return -1; }

void winsock_start() {
    constexpr WORD kVersion11 = 0x0101;
    WSADATA data{};
    if (WSAStartup(kVersion11, &data) != 0) {
        log_info("No winsock found of correct version\n");
        return;
    }
    if (data.wVersion != kVersion11)
        log_info("No winsock found of correct version, trying to continue\n");
}

} // namespace brennic

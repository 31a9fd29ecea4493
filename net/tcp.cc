#include "net/tcp.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/clock.h"
#include "base/diag.h"
#include "base/text.h"
#include "net/address.h"
#include "net/platform.h"
#include "net/socket_errors.h"
#include "net/wait.h"

namespace brennic {
namespace {

// The host text is copied into a buffer of this size, terminator included.
constexpr std::size_t kHostCopySize = 1000;

bool starts_with_digit(const char *text) {
    return std::isdigit(static_cast<unsigned char>(text[0])) != 0;
}

} // namespace

int getaddr(const char *host, sockaddr_in *record) {
    if (host == nullptr) host = "";
    if (starts_with_digit(host)) {
        // Used as converted: a text that is no dotted address gives 255.255.255.255.
        record->sin_addr.s_addr = ::inet_addr(host);
        record->sin_family = AF_INET;
        return 1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (sys.getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
    int filled = 0;
    for (const addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr ||
            entry->ai_addrlen < sizeof(sockaddr_in))
            continue;
        const auto *address = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
        record->sin_addr = address->sin_addr;
        record->sin_family = AF_INET;
        filled = 1;
        break;
    }
    sys.freeaddrinfo(found);
    return filled;
}

int getaddr_any(const char *host, sockaddr_storage *record, socklen_t *length) {
    if (host == nullptr) host = "";
    if (std::strchr(host, ':') != nullptr) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(record);
        if (::inet_pton(AF_INET6, host, &v6->sin6_addr) != 1) return 0;
        v6->sin6_family = AF_INET6;
        *length = sizeof(sockaddr_in6);
        return 1;
    }
    sockaddr_in v4{};
    if (getaddr(host, &v4)) {
        std::memcpy(record, &v4, sizeof v4);
        *length = sizeof v4;
        return 1;
    }
    if (starts_with_digit(host)) return 0;
    // A name with no IPv4 address may still have an IPv6 one.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    addrinfo *found = nullptr;
    if (sys.getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
    int filled = 0;
    for (const addrinfo *entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET6 || entry->ai_addr == nullptr ||
            entry->ai_addrlen < sizeof(sockaddr_in6))
            continue;
        std::memcpy(record, entry->ai_addr, sizeof(sockaddr_in6));
        *length = sizeof(sockaddr_in6);
        filled = 1;
        break;
    }
    sys.freeaddrinfo(found);
    return filled;
}

int bind_out(sockaddr_in *record, const char *bind_address) {
    if (bind_address == nullptr || bind_address[0] == '\0') return 0;
    if (!getaddr(bind_address, record)) {
        log_error("Host lookup failed for BIND (%s) use a number\n", bind_address);
        return 0;
    }
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &record->sin_addr, dotted, sizeof dotted);
    log_info("bind_out to address (%s)\n", dotted);
    return 1;
}

int make_socket(int family, int type, int protocol) {
    // The platform's socket is one child processes never inherit.
    sys.set_error(0);
    const int sock = sys.socket(family, type, protocol);
    return sock < 0 ? kNoSocket : sock;
}

int set_blocking(int sock, int blocking) {
    sys.set_error(0);
    return sys.set_nonblocking(sock, blocking ? 0 : 1);
}

namespace {

// poll that a signal does not cut short: after an interruption it waits again for what is
// left of ms. A program embedding the library may take signals at any rate (a timer, a
// profiler); each would otherwise end the wait as if it had run its course.
int poll_whole(poll_entry *entries, poll_count used, int ms) {
    int left = poll_limit(ms);
    const std::int64_t deadline = monotonic_ms() + left;
    for (;;) {
        sys.set_error(0);
        const int ready = sys.poll(used ? entries : nullptr, used, left);
        if (ready >= 0 || sys.last_error() != kSockInterrupted) return ready;
        const std::int64_t now = monotonic_ms();
        if (now >= deadline) return ready;
        left = static_cast<int>(deadline - now);
    }
}

} // namespace

int wait_readable(int sock, int ms) {
    poll_entry entry{sock, POLLIN, 0};
    const int ready = poll_whole(&entry, 1, ms);
    return ready > 0 && (entry.revents & kReadableEvents) != 0 ? 1 : 0;
}

int wait_any_readable(const int *socks, int count, int ms) {
    poll_entry entries[kMaxWaitSockets];
    poll_count used = 0;
    for (int i = 0; i < count && used < kMaxWaitSockets; ++i)
        if (socks[i] != kNoSocket) entries[used++] = poll_entry{socks[i], POLLIN, 0};
    const int ready = poll_whole(entries, used, ms);
    if (ready <= 0) return 0;
    for (poll_count i = 0; i < used; ++i)
        if (entries[i].revents & kReadableEvents) return 1;
    return 0;
}

int recv_timed(int sock, char *buffer, int length, int ms) {
    set_blocking(sock, 0);
    wait_readable(sock, ms);
    sys.set_error(0);
    // The receive returns at once even when the switch above failed.
    const ssize_t got =
        sys.recv(sock, buffer, static_cast<std::size_t>(std::max(length, 0)), kRecvNoWait);
    const std::int32_t saved = sys.last_error();
    set_blocking(sock, 1);
    sys.set_error(saved); // a caller's record_sock_error sees the receive's error
    return static_cast<int>(got);
}

int recv_some(int sock, char *buffer, int length) {
    sys.set_error(0);
    // Nothing waiting reads as nothing at once, in either mode of the socket.
    const ssize_t got =
        sys.recv(sock, buffer, static_cast<std::size_t>(std::max(length, 0)), kRecvNoWait);
    if (got >= 0) buffer[got] = '\0';
    record_sock_error();
    if (got > 0) return static_cast<int>(got);
    if (got == 0) return -1; // the peer closed the connection: the link is lost
    return would_block() ? 0 : -1;
}

int send_bytes(int sock, const char *bytes, int length) {
    if (length < 0) {
        sys.set_error(kSockInvalidArgument);
        return -1;
    }
    sys.set_error(0);
    // A peer that has gone away gives an error, never a signal.
    return static_cast<int>(sys.send(sock, bytes, static_cast<std::size_t>(length), kSendNoSignal));
}

int send_line(int sock, const char *bytes, int length, int ms, int socket_limit_ms) {
    // A socket time limit of 0 would mean none at all: the least is 1 ms.
    ms = std::max(ms, 1);
    const std::int64_t deadline = monotonic_ms() + ms;
    bool shortened = false;
    if (ms < socket_limit_ms) shortened = set_send_timeout(sock, ms) == 0;
    int sent = send_bytes(sock, bytes, length);
    if (sent == length && !shortened) return sent; // the usual case
    // A send that a signal interrupts returns what it had copied, or -1 with EINTR when it
    // had copied nothing, even under SA_RESTART (the socket has a send time limit). Neither
    // means the link is broken: go on with the rest, each send waiting only for what is left
    // of the time, so that the whole line still takes at most ms.
    int total = std::max(sent, 0);
    for (std::int64_t left = deadline - monotonic_ms();
         total < length && (sent > 0 || (sent < 0 && sys.last_error() == kSockInterrupted)) &&
         left > 0;
         left = deadline - monotonic_ms()) {
        shortened = set_send_timeout(sock, left) == 0 || shortened;
        sent = send_bytes(sock, bytes + total, length - total);
        if (sent > 0) total += sent;
    }
    if (shortened) {
        const std::int32_t saved = sys.last_error();
        set_send_timeout(sock, socket_limit_ms);
        sys.set_error(saved);
    }
    return total > 0 ? total : sent;
}

int set_send_limit(int sock, int ms, int queue_bytes) {
    const int timed = set_send_timeout(sock, ms);
    const int held = set_unsent_limit(sock, std::max(queue_bytes, 1));
    return timed == 0 && held == 0 ? 1 : 0;
}

int set_corked(int sock, int on) { return set_cork(sock, on != 0 ? 1 : 0) == 0 ? 1 : 0; }

int bound_port(int sock) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (sys.getsockname(sock, reinterpret_cast<sockaddr *>(&address), &length) != 0) return -1;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    return -1;
}

void close_socket(int sock) {
    if (sock == kNoSocket) return;
    const std::int32_t saved = sys.last_error();
    sys.close(sock);
    sys.set_error(saved);
}

void record_sock_error() { last_sock_error = sys.last_error(); }

int would_block() { return last_sock_error == kWouldBlock || last_sock_error == kInProgress; }

int tcp_open(const char *host, int port, const char *bind_address, int blocking_connect) {
    char entry[kHostCopySize];
    copy_bounded(entry, host ? host : "", kHostCopySize - 1);
    lowercase_in_place(entry);
    char name[kHostCopySize];
    const char *port_text = nullptr;
    if (!split_host_entry(entry, name, sizeof name, &port_text)) return kNoSocket;
    if (port_text != nullptr) port = read_int32(port_text);
    sockaddr_storage destination{};
    socklen_t destination_length = 0;
    if (!getaddr_any(name, &destination, &destination_length)) return kNoSocket;

    const int sock = make_socket(destination.ss_family, SOCK_STREAM, 0);
    record_sock_error();
    if (sock == kNoSocket) return kNoSocket;

    sockaddr_in local{};
    if (bind_out(&local, bind_address)) {
        sys.set_error(0);
        if (sys.bind(sock, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            record_sock_error();
            log_error("Bind to (%s) failed\n", name);
            close_socket(sock);
            return kNoSocket;
        }
    }
    const std::uint16_t wire_port = htons(static_cast<std::uint16_t>(port & 0xFFFF));
    if (destination.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&destination)->sin6_port = wire_port;
    else
        reinterpret_cast<sockaddr_in *>(&destination)->sin_port = wire_port;
    if (!blocking_connect) set_blocking(sock, 0);

    sys.set_error(0);
    const int connected =
        sys.connect(sock, reinterpret_cast<const sockaddr *>(&destination), destination_length);
    record_sock_error();
    if (connected == 0) {
        set_blocking(sock, 0);
        return sock;
    }
    if (would_block()) return sock; // still connecting
    close_socket(sock);
    return kNoSocket;
}

int connect_finished(int sock) {
    int error = 0;
    socklen_t length = sizeof error;
    sys.set_error(0);
    std::int32_t code = 0;
    if (sys.getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        code = sys.last_error();
    else
        code = sock_code_of(error);
    sys.set_error(code);
    record_sock_error();
    return code == 0 ? 1 : 0;
}

void record_timed_out() {
    sys.set_error(kSockTimedOut);
    record_sock_error();
}

int wait_sockets(socket_wait *entries, int count, int ms) {
    poll_entry polled[kMaxWaitSockets];
    int index[kMaxWaitSockets];
    poll_count used = 0;
    for (int i = 0; i < count; ++i) {
        entries[i].ready = 0;
        if (entries[i].sock == kNoSocket || used >= kMaxWaitSockets) continue;
        polled[used] =
            poll_entry{entries[i].sock, static_cast<short>(entries[i].write ? POLLOUT : POLLIN), 0};
        index[used++] = i;
    }
    const int polled_ready = poll_whole(polled, used, ms);
    if (polled_ready <= 0) return polled_ready < 0 ? -1 : 0;
    int ready = 0;
    for (poll_count i = 0; i < used; ++i) {
        const short wanted = entries[index[i]].write ? kWritableEvents | POLLHUP : kReadableEvents;
        if ((polled[i].revents & wanted) == 0) continue;
        entries[index[i]].ready = 1;
        ++ready;
    }
    return ready;
}

} // namespace brennic

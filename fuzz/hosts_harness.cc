// Host lists through brennic_init, and host texts through port_of_entry and tcp_open, with
// every socket call answered by fakes: no name is looked up and nothing reaches a network.
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/diag.h"
#include "fuzz/harness.h"
#include "fuzz/support.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/platform.h"
#include "net/tcp.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kTarget = "hosts";
constexpr int kFirstFakeSocket = 2000;
constexpr const char *kResolvedAddress = "10.1.2.3";
constexpr const char *kMissingSecret = "/nonexistent-brennic-fuzz/secret";
constexpr std::size_t kHostTextCopyMax = 999; // tcp_open's copy of the host text
constexpr int kListLengthStep = 5;

enum class setup_stop { no_socket = 0, refused = 1, not_sent = 2, reply = 3 };

struct fake_net {
    setup_stop stop = setup_stop::no_socket;
    bool names_resolve = false;
    std::string reply;
    std::set<int> open_sockets;
    int next_socket = kFirstFakeSocket;
    std::string expected_text; // host text of the connection being made
    std::string bind_text;
    std::string direct_text = "\x01"; // the text given straight to tcp_open, once it is
    std::int64_t clock = 1000000;
    std::int64_t init_clock = 0; // the clock when the running init began
    int attempts_this_init = 0;
    std::vector<std::string> found_lines;
};

fake_net net;
hosts_outcome outcome;
std::string secret_file_path;

void remove_secret() {
    if (!secret_file_path.empty()) std::remove(secret_file_path.c_str());
}

const std::string &readable_secret() {
    if (secret_file_path.empty()) {
        char name[] = "/tmp/brennic-fuzz-hosts-XXXXXX";
        const int fd = ::mkstemp(name);
        expect(fd >= 0, kTarget, "a temporary file can be made");
        constexpr char kLine[] = "fuzz secret\n";
        expect(::write(fd, kLine, sizeof kLine - 1) == static_cast<ssize_t>(sizeof kLine - 1),
               kTarget, "the secret is written");
        ::close(fd);
        secret_file_path = name;
        std::atexit(remove_secret);
    }
    return secret_file_path;
}

bool starts_with_digit(const std::string &text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// The host part and the port text of a host text: "[address]:port" and "[address]" give the
// address; a text with two colons or more is an IPv6 literal without a port; otherwise the
// text is cut at its first ':'. has_port is false when no port is written; well_formed is
// false for an unclosed bracket or anything but ":port" after it.
struct split_text {
    std::string host;
    bool has_port = false;
    std::string port;
    bool well_formed = true;
};

split_text split_of(const std::string &text) {
    split_text out;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            out.host = text;
            out.well_formed = false;
            return out;
        }
        out.host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            out.well_formed = text[close + 1] == ':';
            out.has_port = out.well_formed;
            if (out.has_port) out.port = text.substr(close + 2);
        }
        return out;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
        out.host = text;
        return out;
    }
    out.host = text.substr(0, colon);
    out.has_port = true;
    out.port = text.substr(colon + 1);
    return out;
}

// The host part of a host text as tcp_open connects to it: lower-cased, then split.
std::string host_part(const std::string &text) {
    std::string lowered = text;
    for (char &c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return split_of(lowered).host;
}

// The port tcp_open connects to: the port text as atoi reads it (held at the 32-bit limits),
// low 16 bits; the default without one.
int port_of_text(const std::string &text, int default_port) {
    const split_text parts = split_of(text);
    if (!parts.has_port) return default_port;
    const std::string &p = parts.port;
    std::size_t i = 0;
    while (i < p.size() && std::strchr(" \t\n\r\f\v", p[i]) != nullptr)
        ++i;
    bool negative = false;
    if (i < p.size() && (p[i] == '+' || p[i] == '-')) negative = p[i++] == '-';
    long long value = 0;
    for (; i < p.size() && p[i] >= '0' && p[i] <= '9'; ++i)
        value = std::min(value * 10 + (p[i] - '0'), 1LL << 31);
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
    return static_cast<int>(static_cast<unsigned>(static_cast<int>(value)) & 0xFFFFu);
}

// The port of a host entry as the library reads it: digits only, 1 to 65535, or the default
// without a port; 0 for anything else, and for a text that is not well formed.
int entry_port_of_text(const std::string &text, int default_port) {
    const split_text parts = split_of(text);
    if (!parts.well_formed) return 0;
    if (!parts.has_port) return default_port;
    if (parts.port.empty() || parts.port.size() > 16) return 0;
    long value = 0;
    for (char c : parts.port) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535 ? static_cast<int>(value) : 0;
}

bool is_ipv6_literal(const std::string &host) {
    in6_addr address{};
    return host.find(':') != std::string::npos &&
           ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

bool resolvable(const std::string &host) {
    if (host.find(':') != std::string::npos) return is_ipv6_literal(host);
    return starts_with_digit(host) || net.names_resolve;
}

// Every link setup reads the clock when it begins and records it as its host's last_try; a
// setup that ends later reads it again. A reading while a host of this init has not begun
// yet is the beginning of the next host's setup, in table order.
std::int64_t fake_now() {
    const std::int64_t init_start = net.init_clock;
    net.clock += 100; // never within the throttle window
    for (int i = 0; i < host_count; ++i) {
        if (hosts[i].last_try > init_start) continue;
        ++net.attempts_this_init;
        ++outcome.attempts;
        expect(i == net.attempts_this_init - 1, kTarget, "setups begin in table order");
        net.expected_text = hosts[i].name;
        break;
    }
    return net.clock;
}

int fake_socket(int, int, int) {
    if (net.stop == setup_stop::no_socket) {
        errno = EMFILE;
        return -1;
    }
    const int sock = net.next_socket++;
    net.open_sockets.insert(sock);
    return sock;
}

int fake_connect(int sock, const sockaddr *address, socklen_t length) {
    expect(net.open_sockets.count(sock) == 1, kTarget, "connect on an open socket");
    const std::string host = host_part(net.expected_text);
    int port = 0;
    if (is_ipv6_literal(host)) {
        expect(length == sizeof(sockaddr_in6), kTarget, "an IPv6 address");
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
        in6_addr wanted{};
        ::inet_pton(AF_INET6, host.c_str(), &wanted);
        expect(std::memcmp(&in6->sin6_addr, &wanted, sizeof wanted) == 0, kTarget,
               "the address of the host part");
        port = ntohs(in6->sin6_port);
    } else {
        expect(length == sizeof(sockaddr_in), kTarget, "an IPv4 address");
        const auto *in = reinterpret_cast<const sockaddr_in *>(address);
        const in_addr_t wanted =
            starts_with_digit(host) ? ::inet_addr(host.c_str()) : ::inet_addr(kResolvedAddress);
        expect(in->sin_addr.s_addr == wanted, kTarget, "the address of the host part");
        port = ntohs(in->sin_port);
    }
    expect(port == port_of_text(net.expected_text, kDefaultPort), kTarget,
           "the port of the host text");
    expect(port != 0 || net.expected_text == net.direct_text, kTarget,
           "a link is set up only on a port the entry names");
    ++outcome.connects;
    outcome.ports.push_back(port);
    if (net.stop == setup_stop::refused) {
        errno = ECONNREFUSED;
        return -1;
    }
    return 0;
}

int fake_bind(int sock, const sockaddr *, socklen_t) {
    expect(net.open_sockets.count(sock) == 1, kTarget, "bind on an open socket");
    return 0;
}

ssize_t fake_send(int sock, const void *, size_t length, int) {
    expect(net.open_sockets.count(sock) == 1, kTarget, "send on an open socket");
    if (net.stop == setup_stop::not_sent) {
        errno = EPIPE;
        return -1;
    }
    return static_cast<ssize_t>(length);
}

ssize_t fake_recv(int sock, void *buffer, size_t length, int) {
    expect(net.open_sockets.count(sock) == 1, kTarget, "receive on an open socket");
    if (net.reply.empty()) {
        errno = EAGAIN;
        return -1;
    }
    const std::size_t n = std::min(length, net.reply.size());
    std::memcpy(buffer, net.reply.data(), n);
    return static_cast<ssize_t>(n);
}

int fake_close(int sock) {
    expect(net.open_sockets.erase(sock) == 1, kTarget, "close an open socket once");
    return 0;
}

int fake_poll(pollfd *fds, nfds_t count, int) {
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = POLLIN;
    return static_cast<int>(count);
}

int fake_set_nonblocking(int sock, int) {
    expect(net.open_sockets.count(sock) == 1, kTarget, "mode change on an open socket");
    return 0;
}

int fake_setsockopt(int, int, int, const void *, socklen_t) { return 0; }

int fake_getaddrinfo(const char *node, const char *, const addrinfo *, addrinfo **result) {
    expect(node != nullptr, kTarget, "a name to look up");
    expect(node == host_part(net.expected_text) || node == net.bind_text, kTarget,
           "only the host part or the bind text is looked up");
    expect(!starts_with_digit(node) || node == net.bind_text, kTarget,
           "a dotted text is never looked up");
    if (!net.names_resolve) return EAI_NONAME;
    auto *entry = static_cast<addrinfo *>(std::calloc(1, sizeof(addrinfo)));
    auto *address = static_cast<sockaddr_in *>(std::calloc(1, sizeof(sockaddr_in)));
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = ::inet_addr(kResolvedAddress);
    entry->ai_family = AF_INET;
    entry->ai_addr = reinterpret_cast<sockaddr *>(address);
    entry->ai_addrlen = sizeof(sockaddr_in);
    *result = entry;
    return 0;
}

void fake_freeaddrinfo(addrinfo *result) {
    std::free(result->ai_addr);
    std::free(result);
}

void fake_sleep(int) {}

int record_log(int level, const char *text) {
    expect(std::strlen(text) <= static_cast<std::size_t>(kDiagMax), kTarget, "log line bounded");
    if (level >= kLevelInfo)
        expect(std::strpbrk(text, "\r\n") == nullptr, kTarget, "info and error lines are one line");
    constexpr char kFound[] = "Found host (";
    if (std::strncmp(text, kFound, sizeof kFound - 1) == 0) net.found_lines.emplace_back(text);
    return 0;
}

void install_fakes() {
    sys.socket = fake_socket;
    sys.connect = fake_connect;
    sys.bind = fake_bind;
    sys.send = fake_send;
    sys.recv = fake_recv;
    sys.close = fake_close;
    sys.poll = fake_poll;
    sys.set_nonblocking = fake_set_nonblocking;
    sys.setsockopt = fake_setsockopt;
    sys.getaddrinfo = fake_getaddrinfo;
    sys.freeaddrinfo = fake_freeaddrinfo;
    sys.sleep = fake_sleep;
}

// The entries brennic_init must find: the first 999 characters split at commas and spaces,
// at most five, each kept to 200 characters.
std::vector<std::string> expected_entries(const std::string &list) {
    const std::string text = as_text(list).substr(0, kHostListMax);
    std::vector<std::string> entries;
    std::size_t i = 0;
    while (entries.size() < static_cast<std::size_t>(kMaxHosts)) {
        while (i < text.size() && (text[i] == ',' || text[i] == ' '))
            ++i;
        if (i >= text.size()) break;
        const std::size_t start = i;
        while (i < text.size() && text[i] != ',' && text[i] != ' ')
            ++i;
        entries.push_back(text.substr(start, std::min<std::size_t>(i - start, kHostNameMax)));
    }
    return entries;
}

std::string folded(std::string text) {
    for (char &c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

void run_init(const std::string &list, const std::string &secret) {
    net.attempts_this_init = 0;
    net.init_clock = net.clock;
    net.found_lines.clear();
    init_library(as_text(list).c_str(), secret.c_str(), record_log);

    const std::vector<std::string> entries = expected_entries(list);
    expect(host_count == static_cast<std::int32_t>(entries.size()), kTarget, "one host per entry");
    expect(net.attempts_this_init == host_count, kTarget, "every host gets a link setup");
    expect(net.found_lines.size() == entries.size(), kTarget, "one Found host line per host");
    outcome.names.clear();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        expect(entries[i] == hosts[i].name, kTarget, "the entry is stored as cut");
        expect(net.found_lines[i] == "Found host (" + folded(entries[i]) + ")", kTarget,
               "Found host names the entry");
        outcome.names.emplace_back(hosts[i].name);
    }
    expect(current_host >= 0 && (current_host < host_count || current_host == 0), kTarget,
           "current_host names a host");

    std::size_t with_socket = 0;
    outcome.open_links = 0;
    for (const brennic_host &h : hosts) {
        if (h.sock != kNoSocket) {
            ++with_socket;
            expect(net.open_sockets.count(h.sock) == 1, kTarget, "a host holds an open socket");
        }
        if (h.open != 0) {
            expect(h.rx && h.tx && h.sock != kNoSocket, kTarget,
                   "an open link has its socket and both generators");
            ++outcome.open_links;
        }
    }
    expect(with_socket == net.open_sockets.size(), kTarget, "no socket is left behind");
    if (net.stop != setup_stop::reply)
        expect(outcome.open_links == 0, kTarget, "no link without a handshake reply");
}

} // namespace

const hosts_outcome &last_hosts_outcome() { return outcome; }

constexpr int kFakeWaitMs = 1;

int hosts_one(const std::uint8_t *data, std::size_t size) {
    byte_source in(data, size);
    const std::uint8_t flags = in.take_byte();
    const std::string list = in.take(static_cast<std::size_t>(in.take_byte()) * kListLengthStep);
    const std::string reply = in.take(in.take_byte());
    const std::string direct = in.take_rest();

    reset_library();
    outcome = hosts_outcome{};
    net = fake_net{};
    net.stop = static_cast<setup_stop>(flags & 3);
    net.names_resolve = (flags & 4) != 0;
    net.reply = reply;
    install_fakes();
    hooks.now = fake_now;
    // The fake sockets are always ready, while the setup's time limits run on the real clock:
    // a reply the fake never gives would be waited for, in a busy loop, for the whole limit.
    hooks.connect_wait_ms = kFakeWaitMs;
    hooks.handshake_wait_ms = kFakeWaitMs;
    const std::string secret = (flags & 8) ? readable_secret() : std::string(kMissingSecret);

    run_init(list, secret);
    if (flags & 0x10) run_init(list, secret);

    // A host text and a bind address straight into the port parser and the connect.
    const std::size_t nul = direct.find('\0');
    const std::string host_text = as_text(direct).substr(0, kHostTextCopyMax);
    net.bind_text = nul == std::string::npos ? std::string() : as_text(direct.substr(nul + 1));
    net.expected_text = host_text;
    net.direct_text = host_text;
    expect(port_of_entry(host_text.c_str(), kDefaultPort) ==
               entry_port_of_text(host_text, kDefaultPort),
           kTarget, "port_of_entry reads digits from 1 to 65535 after the host");
    const int sock = tcp_open(as_text(direct).c_str(), kDefaultPort, net.bind_text.c_str(), 1);
    const bool reachable = split_of(host_text).well_formed && resolvable(host_part(host_text)) &&
                           net.stop != setup_stop::no_socket && net.stop != setup_stop::refused;
    expect((sock != kNoSocket) == reachable, kTarget, "tcp_open connects exactly when it can");
    if (sock != kNoSocket) {
        expect(net.open_sockets.count(sock) == 1, kTarget, "tcp_open returns the open socket");
        close_socket(sock);
    }

    reset_library();
    expect(net.open_sockets.empty(), kTarget, "every socket is closed at the end");
    set_log_callback(nullptr);
    reset_socket_calls();
    return 0;
}

} // namespace brennic::fuzz

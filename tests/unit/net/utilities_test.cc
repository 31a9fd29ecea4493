#include "net/extra/utilities.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "net/platform.h"
#include "net/server_calls.h"
#include "net/socket_errors.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/socket_checks.h"
#include "tests/unit/net/net_fixture.h"
#include "tests/unit/net/probes.h"
#include "tests/unit/net/sending_fixture.h"

namespace brennic {
namespace {

using testing::is_open;
using testing::logged;
using testing::loopback_listener;
using testing::loopback_pair;
using testing::NetTest;
using testing::read_file;
using testing::send_chunk;
using testing::send_fail_after;
using testing::send_shortfall;
using testing::Sending;
using testing::sent_bytes;
using testing::was_logged;

// ---- header tokens --------------------------------------------------------------------

std::vector<std::string> split(std::string text, const char *delimiters, int capacity,
                               int *count = nullptr) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    std::vector<char *> tokens(static_cast<std::size_t>(capacity) + 4, nullptr);
    const char sentinel = 0;
    std::fill(tokens.begin(), tokens.end(), const_cast<char *>(&sentinel));
    const int n = split_header_line(line.data(), tokens.data(), delimiters, capacity);
    if (count) *count = n;
    std::vector<std::string> result;
    for (int i = 0; i < n; ++i)
        result.emplace_back(tokens[i]);
    EXPECT_EQ(tokens[n], nullptr);
    // Nothing is written past the null.
    for (std::size_t i = n + 1; i < tokens.size(); ++i)
        EXPECT_EQ(tokens[i], &sentinel);
    return result;
}

class Tokens : public NetTest {};

TEST_F(Tokens, QuotedTokenKeepsItsDelimiters) {
    EXPECT_EQ(split("a \"b c\" d", " ", 10), (std::vector<std::string>{"a", "b c", "d"}));
    EXPECT_EQ(split("  x,,y ", " ,", 10), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(split("", " ", 10), std::vector<std::string>{});
    EXPECT_EQ(split("   ", " ", 10), std::vector<std::string>{});
}

TEST_F(Tokens, EscapedQuoteStaysAndUnclosedQuoteRunsToEnd) {
    EXPECT_EQ(split("\"a\\\"b\" c", " ", 10), (std::vector<std::string>{"a\\\"b", "c"}));
    EXPECT_EQ(split("x \"open quote", " ", 10), (std::vector<std::string>{"x", "open quote"}));
    EXPECT_EQ(split("\"\"", " ", 10), std::vector<std::string>{""});
}

TEST_F(Tokens, CapacityKeepsFiveSlotsFree) {
    int n = 0;
    EXPECT_EQ(split("a b c d e ", " ", 8, &n), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(was_logged(kLevelInfo, "Too many tokens in this header line"));
    logged.clear();
    EXPECT_EQ(split("a b c d e", " ", 10, &n).size(), 5u);
    EXPECT_TRUE(logged.empty());
    // One more word than fits: the limit is hit after the fifth token.
    EXPECT_EQ(split("a b c d e f", " ", 10).size(), 5u);
    EXPECT_TRUE(was_logged(kLevelInfo, "Too many tokens in this header line"));
}

TEST_F(Tokens, TinyCapacitiesStayInsideTheArray) {
    EXPECT_EQ(split("a b c", " ", 5), std::vector<std::string>{"a"});
    EXPECT_EQ(split("a b c", " ", 2), std::vector<std::string>{"a"});
    EXPECT_EQ(split("a b c", " ", 1), std::vector<std::string>{});
    char line[] = "a b";
    char *slot = line;
    EXPECT_EQ(split_header_line(line, &slot, " ", 0), 0);
    EXPECT_EQ(slot, line); // capacity 0: nothing written
}

// ---- lookups, hex dump, copies ----------------------------------------------------------

int failing_lookup(const char *, const char *, const addrinfo *, addrinfo **) { return EAI_NONAME; }

class Lookups : public NetTest {};

TEST_F(Lookups, LookupIpv4) {
    EXPECT_EQ(lookup_ipv4(""), 0u);
    EXPECT_EQ(lookup_ipv4("10.0.0.1"), ::inet_addr("10.0.0.1"));
    EXPECT_EQ(lookup_ipv4("1host"), INADDR_NONE);
    EXPECT_EQ(lookup_ipv4("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(logged.empty());
    sys.getaddrinfo = failing_lookup;
    EXPECT_EQ(lookup_ipv4("nohost"), 0u);
    EXPECT_TRUE(was_logged(kLevelError, "Lookup failed for (nohost) "));
}

int failing_gethostname(char *, size_t) {
    sys.set_error(10014); // WSAEFAULT
    return -1;
}

int long_gethostname(char *name, size_t length) {
    std::memset(name, 'h', length); // fills it without a terminator
    return 0;
}

TEST_F(Lookups, LocalHostName) {
    char expected[256] = "";
    sys.gethostname(expected, sizeof expected);
    EXPECT_STREQ(local_host_name(), expected);
    sys.gethostname = long_gethostname;
    EXPECT_EQ(std::string(local_host_name()), std::string(190, 'h'));
    sys.gethostname = failing_gethostname;
    EXPECT_STREQ(local_host_name(), "");
    EXPECT_TRUE(was_logged(
        kLevelInfo,
        "tcp: Can't get host name () The buf argument is not in a valid part of the user "
        "address space.  "));
}

TEST_F(Lookups, HexDump) {
    const unsigned char two[] = {0x0A, 0xFF};
    EXPECT_STREQ(hex_dump(two, 2), " a ff ");
    EXPECT_STREQ(hex_dump(two, 0), "");
    std::vector<unsigned char> many(700, 0x5c);
    const std::string dumped = hex_dump(many.data(), 700);
    EXPECT_EQ(dumped.size(), 666u * 3);
    EXPECT_EQ(dumped.substr(dumped.size() - 6), "5c 5c ");
}

TEST_F(Lookups, DupString) {
    char *copy = dup_string("abc");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "abc");
    std::free(copy);
    EXPECT_EQ(dup_string(nullptr), nullptr);
}

// ---- reading lines ----------------------------------------------------------------------

class LineReader : public NetTest {
  protected:
    loopback_pair pair;
    void peer_sends(const std::string &bytes) {
        ASSERT_EQ(sys.send(pair.server, bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
    }
};

TEST_F(LineReader, CrLfAndBareLf) {
    peer_sends("abc\r\nabc\n\nx");
    char buffer[32];
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abc");
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "ab");
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "");
    close_socket(pair.server);
    pair.server = -1;
    EXPECT_EQ(read_line_bytewise(pair.client, buffer, sizeof buffer), 0);
}

TEST_F(LineReader, LongLineIsCutWithinTheBuffer) {
    peer_sends("abcdefg\r\n");
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, 4), 1);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(std::string(buffer + 4, 4), "####");
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, 4), 1);
    EXPECT_STREQ(buffer, "def");
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, 4), 1);
    EXPECT_STREQ(buffer, "g");
    EXPECT_EQ(read_line_bytewise(pair.client, buffer, 1), 0);
}

int would_block_left = 0;
ssize_t stuttering_recv(int sock, void *buffer, size_t length, int flags) {
    if (would_block_left > 0) {
        --would_block_left;
        sys.set_error(kWouldBlock);
        return -1;
    }
    return test::real_calls().recv(sock, buffer, length, flags);
}

TEST_F(LineReader, WouldBlockIsRetriedOtherErrorsEndTheLine) {
    peer_sends("ok\r\n");
    sys.recv = stuttering_recv;
    would_block_left = 3;
    char buffer[16];
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "ok");
    EXPECT_EQ(would_block_left, 0);
    test::shut_down(pair.client);
    EXPECT_EQ(read_line_bytewise(-1, buffer, sizeof buffer), 0);
}

// ---- listening and accepting ------------------------------------------------------------

int failing_bind(int, const sockaddr *, socklen_t) {
    sys.set_error(10048); // WSAEADDRINUSE
    return -1;
}
int failing_listen(int, int) {
    sys.set_error(10045); // WSAEOPNOTSUPP
    return -1;
}

// The socket number that open_listener logged.
int logged_listener_socket() {
    for (const auto &line : logged) {
        int sock = -2;
        int port = 0;
        if (std::sscanf(line.text.c_str(), "Socket listen on socket id %d port %d", &sock, &port) ==
            2)
            return sock;
    }
    return -2;
}

class Listener : public NetTest {};

TEST_F(Listener, AcceptsConnections) {
    const int port = testing::unused_port();
    const int listening = open_listener(port);
    ASSERT_NE(listening, -1);
    EXPECT_TRUE(was_logged(kLevelInfo, "Socket listen on socket id " + std::to_string(listening) +
                                           " port " + std::to_string(port) + " "));
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const int client = tcp_open(host.c_str(), 0, "", 1);
    ASSERT_NE(client, -1);
    const int accepted = accept_client(listening);
    ASSERT_NE(accepted, -1);
    EXPECT_FALSE(test::is_inheritable(accepted));
    close_socket(accepted);
    close_socket(client);
    close_socket(listening);
    EXPECT_EQ(accept_client(-1), -1);
}

TEST_F(Listener, FailedBindLeavesNoSocketOpen) {
    sys.bind = failing_bind;
    EXPECT_EQ(open_listener(1234), -1);
    const int sock = logged_listener_socket();
    ASSERT_GE(sock, 0);
    EXPECT_FALSE(is_open(sock));
    EXPECT_EQ(last_sock_error, 10048);
    EXPECT_EQ(logged.size(), 1u);
}

TEST_F(Listener, FailedListenLeavesNoSocketOpen) {
    sys.listen = failing_listen;
    EXPECT_EQ(open_listener(0), -1);
    const int sock = logged_listener_socket();
    ASSERT_GE(sock, 0);
    EXPECT_FALSE(is_open(sock));
    EXPECT_EQ(last_sock_error, 10045);
}

// A second bind to the port fails, even one that asks to share it: on Windows the listener
// holds the port exclusively, which is what refuses such a bind there.
TEST_F(Listener, HoldsItsPortAgainstASecondBind) {
    const int listening = open_listener(0);
    ASSERT_NE(listening, -1);
    EXPECT_TRUE(testing::holds_port_option(listening));
    const int thief = sys.socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    sys.setsockopt(thief, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(bound_port(listening)));
    EXPECT_NE(sys.bind(thief, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    close_socket(thief);
    close_socket(listening);
}

TEST_F(Listener, AsyncOpenReturnsNonBlockingSocket) {
    loopback_listener listener;
    const int sock = tcp_open_async("127.0.0.1", listener.port, "");
    ASSERT_NE(sock, -1);
    EXPECT_TRUE(test::is_non_blocking(sock));
    close_socket(sock);
}

// ---- datagram sockets, groups, options --------------------------------------------------

int failing_socket(int, int, int) {
    sys.set_error(10055); // WSAENOBUFS
    return -1;
}

int last_option_value = -99;
int last_option_name = -1;
int refuse_option(int, int, int name, const void *, socklen_t) {
    last_option_name = name;
    sys.set_error(kSockInvalidArgument);
    return -1;
}
int record_option(int sock, int level, int name, const void *value, socklen_t length) {
    last_option_name = name;
    if (length == sizeof(int)) last_option_value = *static_cast<const int *>(value);
    return test::real_calls().setsockopt(sock, level, name, value, length);
}

class Datagram : public NetTest {};

TEST_F(Datagram, ConnectedPairExchangesADatagram) {
    const int receiver = udp_create("127.0.0.1", 0, nullptr, 0);
    ASSERT_NE(receiver, -1);
    const int sender = udp_create("", 0, "127.0.0.1", bound_port(receiver));
    ASSERT_NE(sender, -1);
    EXPECT_EQ(send_some(sender, "ping", 4), 4);
    ASSERT_EQ(wait_readable(receiver, 1000), 1);
    char buffer[8] = "";
    EXPECT_EQ(sys.recv(receiver, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    close_socket(sender);
    close_socket(receiver);
    EXPECT_TRUE(logged.empty());
}

TEST_F(Datagram, FailuresAreReportedAndCloseTheSocket) {
    sys.socket = failing_socket;
    EXPECT_EQ(udp_create(nullptr, 0, nullptr, 0), -1);
    EXPECT_TRUE(was_logged(kLevelError,
                           "create: socket() failed () The Windows Sockets implementation "
                           "reports a buffer deadlock.  "));
    reset_socket_calls();

    sys.getaddrinfo = failing_lookup;
    EXPECT_EQ(udp_create("nohost", 0, nullptr, 0), -1);
    EXPECT_TRUE(was_logged(kLevelError, "getaddr failed for (nohost) "));
    EXPECT_EQ(udp_create(nullptr, 0, "farhost", 9), -1);
    EXPECT_TRUE(was_logged(kLevelError, "getaddr failed for (farhost) "));
    reset_socket_calls();

    sys.bind = failing_bind;
    EXPECT_EQ(udp_create(nullptr, 0, nullptr, 0), -1);
    EXPECT_TRUE(was_logged(kLevelError, "create: bind() failed () Address in use  "));
    reset_socket_calls();

    const int port = testing::unused_port();
    const int refused = socket_create(AF_INET, SOCK_STREAM, nullptr, 0, "127.0.0.1", port);
    EXPECT_EQ(refused, -1);
    EXPECT_TRUE(was_logged(kLevelError, "create: connect() failed () Connection Refused  "));
}

TEST_F(Datagram, JoinGroupFailure) {
    const int sock = udp_create(nullptr, 0, nullptr, 0);
    ASSERT_NE(sock, -1);
    sys.setsockopt = refuse_option;
    EXPECT_EQ(join_group(sock, nullptr, "239.1.2.3"), 0);
    EXPECT_EQ(last_option_name, IP_ADD_MEMBERSHIP);
    EXPECT_TRUE(was_logged(kLevelError,
                           "multicast: Failed to joing group (239.1.2.3) () The socket has not "
                           "been bound with bind.  "));
    close_socket(sock);
}

TEST_F(Datagram, LingerAndNagleOptions) {
    loopback_pair pair;
    sys.setsockopt = record_option;
    EXPECT_EQ(set_nagle(pair.client, 1), 1);
    EXPECT_EQ(last_option_name, TCP_NODELAY);
    EXPECT_EQ(last_option_value, 0);
    EXPECT_EQ(set_nagle(pair.client, 0), 1);
    EXPECT_EQ(last_option_value, -1);
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    sys.getsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length);
    EXPECT_NE(no_delay, 0);

    EXPECT_EQ(set_linger(pair.client), 1);
    linger current{};
    length = sizeof current;
    sys.getsockopt(pair.client, SOL_SOCKET, SO_LINGER, &current, &length);
    EXPECT_EQ(current.l_onoff, 1);
    EXPECT_EQ(current.l_linger, 60);
    EXPECT_TRUE(logged.empty());

    sys.setsockopt = refuse_option;
    EXPECT_EQ(set_linger(pair.client), 1);
    EXPECT_TRUE(
        was_logged(kLevelInfo, "linger failed () The socket has not been bound with bind.  "));
}

// ---- sending ----------------------------------------------------------------------------

ssize_t blocked_send(int, const void *, size_t, int) {
    sys.set_error(kWouldBlock);
    return -1;
}

TEST_F(Sending, SendSomeResults) {
    EXPECT_EQ(send_some(5, "abc", 3), 3);
    sys.send = blocked_send;
    EXPECT_EQ(send_some(5, "abc", 3), 0);
    EXPECT_EQ(last_sock_error, 10035);
    sys.send = testing::scripted_send;
    send_fail_after = 0;
    EXPECT_EQ(send_some(5, "abc", 3), -1);
    EXPECT_EQ(last_sock_error, 10054);
}

TEST_F(Sending, PrintfCapturesEverythingEvenWhenSendIsShort) {
    EXPECT_EQ(send_printf(5, "%s %d\r\n", "hello", 42), 1);
    EXPECT_EQ(sent_bytes, "hello 42\r\n");
    send_shortfall = 1;
    EXPECT_EQ(send_printf(5, "%s", "second"), 0);
    EXPECT_EQ(sent_bytes, "hello 42\r\nsecon");
    EXPECT_EQ(read_file("raw.dat"), "hello 42\r\nsecond");
}

TEST_F(Sending, PrintfCutsLongTextAndReportsItUnsent) {
    const std::string big(8000, 'z');
    EXPECT_EQ(send_printf(5, "%s", big.c_str()), 0);
    EXPECT_EQ(sent_bytes, std::string(6999, 'z'));
    EXPECT_EQ(read_file("raw.dat").size(), 6999u);
    sent_bytes.clear();
    const std::string fits(6999, 'y');
    EXPECT_EQ(send_printf(5, "%s", fits.c_str()), 1);
    EXPECT_EQ(sent_bytes, fits);
}

TEST_F(Sending, CaptureFailureStillSends) {
    ASSERT_TRUE(std::filesystem::create_directory("raw.dat")); // cannot be opened for appending
    EXPECT_EQ(send_captured(5, "data", 4), 4);
    EXPECT_EQ(sent_bytes, "data");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, kLevelError);
    EXPECT_NE(logged[0].text.find("raw.dat"), std::string::npos);
}

// A link in the capture's place is left as it is and reported, its target untouched; the
// bytes are sent all the same. On Windows the link is a reparse point.
TEST_F(Sending, CaptureRefusesALink) {
    std::ofstream("target") << "keep";
    if (!testing::make_link("target", "raw.dat")) GTEST_SKIP() << "this system makes no links";
    EXPECT_EQ(send_captured(5, "data", 4), 4);
    EXPECT_EQ(sent_bytes, "data");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].text.find("raw.dat"), std::string::npos);
    EXPECT_EQ(read_file("target"), "keep");
}

TEST_F(Sending, PendingBytesSentInPiecesThenEmptied) {
    const std::string text = "0123456789abcdef";
    std::memcpy(pending_out, text.data(), text.size());
    pending_len = static_cast<std::int32_t>(text.size());
    send_chunk = 3;
    send_pending(5);
    EXPECT_EQ(sent_bytes, text);
    EXPECT_EQ(pending_len, 0);

    sent_bytes.clear();
    pending_len = static_cast<std::int32_t>(text.size());
    send_fail_after = 2;
    send_pending(5);
    EXPECT_EQ(sent_bytes, "012345");
    EXPECT_EQ(pending_len, 0);
    EXPECT_EQ(last_sock_error, 10054);

    // A count beyond the buffer is never read past its end.
    sent_bytes.clear();
    send_fail_after = -1;
    send_chunk = 0;
    pending_len = kPendingOutSize + 500;
    send_pending(5);
    EXPECT_EQ(sent_bytes.size(), static_cast<std::size_t>(kPendingOutSize));
}

// ---- socket probe -----------------------------------------------------------------------

int sockets_made = 0;
int sockets_closed = 0;
int socket_until_seven(int family, int type, int protocol) {
    if (sockets_made == 7) {
        sys.set_error(10024); // WSAEMFILE
        return -1;
    }
    ++sockets_made;
    return test::real_calls().socket(family, type, protocol);
}
int counting_close(int sock) {
    ++sockets_closed;
    return test::real_calls().close(sock);
}

class Probe : public NetTest {};

TEST_F(Probe, CountsUpTo300AndLeavesNoneOpen) {
    const int before = test::open_handles();
    EXPECT_EQ(count_openable_sockets(), 300);
    EXPECT_EQ(test::open_handles(), before); // every socket it made is closed again
}

TEST_F(Probe, StopsAtTheFirstFailure) {
    sys.socket = socket_until_seven;
    sys.close = counting_close;
    EXPECT_EQ(count_openable_sockets(), 7);
    EXPECT_EQ(sockets_closed, 7);
}

} // namespace
} // namespace brennic

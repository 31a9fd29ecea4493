#include "net/tcp.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/diag.h"
#include "net/socket_errors.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/socket_checks.h"
#include "tests/unit/net/net_fixture.h"

namespace brennic {
namespace {

using test::is_inheritable;
using test::is_non_blocking;
using test::real_calls;
using testing::is_open;
using testing::logged;
using testing::loopback_listener;
using testing::loopback_pair;
using testing::NetTest;
using testing::was_logged;

// What the faked calls saw. Failures are reported through the table as Windows Sockets codes.
struct seen_calls {
    std::vector<std::string> events;
    sockaddr_in connect_to{};
    std::vector<std::string> lookups;
    std::int32_t connect_error = 10061; // WSAECONNREFUSED
    std::int32_t bind_error = 0;
    int send_flags = -1;
    int poll_timeout = -2;
    poll_count polled = 99;
};
seen_calls seen;

int fake_connect(int, const sockaddr *address, socklen_t) {
    std::memcpy(&seen.connect_to, address, sizeof seen.connect_to);
    seen.events.push_back("connect");
    if (seen.connect_error == 0) return 0;
    sys.set_error(seen.connect_error);
    return -1;
}

int fake_bind(int, const sockaddr *, socklen_t) {
    seen.events.push_back("bind");
    if (seen.bind_error == 0) return 0;
    sys.set_error(seen.bind_error);
    return -1;
}

int fake_set_nonblocking(int, int on) {
    seen.events.push_back(on ? "nonblocking" : "blocking");
    return 0;
}

int fake_close(int sock) {
    seen.events.push_back("close");
    return real_calls().close(sock);
}

int failing_lookup(const char *node, const char *, const addrinfo *, addrinfo **) {
    seen.lookups.push_back(node);
    return EAI_NONAME;
}

int counting_socket(int family, int type, int protocol) {
    seen.events.push_back("socket");
    return real_calls().socket(family, type, protocol);
}

class TcpOpen : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        seen = seen_calls{};
    }
    void fake_connect_and_friends() {
        sys.connect = fake_connect;
        sys.bind = fake_bind;
        sys.set_nonblocking = fake_set_nonblocking;
        sys.close = fake_close;
    }
    int connect_port() const { return ntohs(seen.connect_to.sin_port); }
    std::string connect_address() const {
        char dotted[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &seen.connect_to.sin_addr, dotted, sizeof dotted);
        return dotted;
    }
};

TEST_F(TcpOpen, UpperCaseNameWithPortConnectsAndLeavesSocketNonBlocking) {
    loopback_listener listener;
    const std::string host = "LOCALHOST:" + std::to_string(listener.port);
    const int sock = tcp_open(host.c_str(), 601, "", 1);
    ASSERT_NE(sock, -1);
    EXPECT_TRUE(is_non_blocking(sock));
    EXPECT_FALSE(is_inheritable(sock));
    const int accepted = listener.accept_one();
    EXPECT_GE(accepted, 0);
    close_socket(accepted);
    close_socket(sock);
    EXPECT_TRUE(logged.empty());
    const int made = make_socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(made, -1);
    EXPECT_FALSE(is_inheritable(made));
    close_socket(made);
}

TEST_F(TcpOpen, DottedAddressWithPort) {
    loopback_listener listener;
    const std::string host = "127.0.0.1:" + std::to_string(listener.port);
    const int sock = tcp_open(host.c_str(), 1, "", 1);
    ASSERT_NE(sock, -1);
    close_socket(sock);
}

TEST_F(TcpOpen, PortTextReplacesArgumentAndKeepsLow16Bits) {
    fake_connect_and_friends();
    struct case_row {
        const char *host;
        int port_argument;
        int expected_port;
    };
    const case_row rows[] = {
        {"10.1.2.3:70000", 601, 4464}, {"10.1.2.3:", 601, 0},
        {"10.1.2.3", 601, 601},        {"10.1.2.3: +7000x", 601, 7000},
        {"10.1.2.3", 70000, 4464},     {"10.1.2.3:99999999999", 601, 65535},
        {"10.1.2.3:-1", 601, 65535},
    };
    for (const case_row &row : rows) {
        EXPECT_EQ(tcp_open(row.host, row.port_argument, "", 1), -1) << row.host;
        EXPECT_EQ(connect_port(), row.expected_port) << row.host;
        EXPECT_EQ(connect_address(), "10.1.2.3") << row.host;
    }
}

TEST_F(TcpOpen, RefusedConnectRecordsCodeAndClosesSocket) {
    const std::string host = "127.0.0.1:" + std::to_string(testing::unused_port());
    sys.close = fake_close;
    EXPECT_EQ(tcp_open(host.c_str(), 601, "", 1), -1);
    EXPECT_EQ(last_sock_error, 10061);
    EXPECT_STREQ(sock_error_text(), "() Connection Refused\n");
    EXPECT_EQ(seen.events, std::vector<std::string>{"close"});
}

TEST_F(TcpOpen, NameStartingWithDigitIsNeverLookedUp) {
    fake_connect_and_friends();
    sys.getaddrinfo = failing_lookup;
    seen.connect_error = 10051; // WSAENETUNREACH
    EXPECT_EQ(tcp_open("1host:80", 601, "", 1), -1);
    EXPECT_TRUE(seen.lookups.empty());
    EXPECT_EQ(connect_address(), "255.255.255.255");
    EXPECT_EQ(last_sock_error, 10051);
}

TEST_F(TcpOpen, FailedLookupCreatesNothingAndKeepsLastError) {
    sys.getaddrinfo = failing_lookup;
    sys.socket = counting_socket;
    last_sock_error = 12345;
    EXPECT_EQ(tcp_open("NoSuchHost:80", 601, "", 1), -1);
    // Looked up as an IPv4 name, then as an IPv6 one.
    EXPECT_EQ(seen.lookups, (std::vector<std::string>{"nosuchhost", "nosuchhost"}));
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(last_sock_error, 12345);
    EXPECT_TRUE(logged.empty());
}

TEST_F(TcpOpen, HostCopyIsBoundedTo999Characters) {
    sys.getaddrinfo = failing_lookup;
    std::string host(1200, 'a');
    host += ":80"; // past the bound: never seen
    EXPECT_EQ(tcp_open(host.c_str(), 601, "", 1), -1);
    ASSERT_EQ(seen.lookups.size(), 2u);
    EXPECT_EQ(seen.lookups[0], std::string(999, 'a'));
}

TEST_F(TcpOpen, EmptyBindAddressMeansNoBindAndNoMessage) {
    fake_connect_and_friends();
    seen.connect_error = 0;
    const int sock = tcp_open("10.0.0.1:5", 601, "", 1);
    ASSERT_NE(sock, -1);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"connect", "nonblocking"}));
    EXPECT_TRUE(logged.empty());
    close_socket(sock);
}

TEST_F(TcpOpen, UnresolvableBindAddressIsReportedAndIgnored) {
    fake_connect_and_friends();
    sys.getaddrinfo = failing_lookup;
    seen.connect_error = 0;
    const int sock = tcp_open("10.0.0.1:5", 601, "nohost", 1);
    ASSERT_NE(sock, -1);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"connect", "nonblocking"}));
    EXPECT_TRUE(was_logged(kLevelError, "Host lookup failed for BIND (nohost) use a number "));
    close_socket(sock);
}

TEST_F(TcpOpen, BindAddressIsBoundAndLogged) {
    loopback_listener listener;
    const std::string host = "127.0.0.1:" + std::to_string(listener.port);
    const int sock = tcp_open(host.c_str(), 601, "127.0.0.1", 1);
    ASSERT_NE(sock, -1);
    EXPECT_TRUE(was_logged(kLevelInfo, "bind_out to address (127.0.0.1) "));
    close_socket(sock);
}

TEST_F(TcpOpen, FailedBindNamesTheDestinationAndClosesSocket) {
    fake_connect_and_friends();
    seen.bind_error = 10048; // WSAEADDRINUSE
    EXPECT_EQ(tcp_open("LocalHost:5", 601, "127.0.0.1", 1), -1);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"bind", "close"}));
    EXPECT_EQ(last_sock_error, 10048);
    EXPECT_TRUE(was_logged(kLevelError, "Bind to (localhost) failed "));
}

TEST_F(TcpOpen, ConnectInProgressReturnsSocketWhenNotBlocking) {
    fake_connect_and_friends();
    seen.connect_error = kInProgress;
    const int sock = tcp_open("10.0.0.1:5", 601, "", 0);
    ASSERT_NE(sock, -1);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"nonblocking", "connect"}));
    EXPECT_EQ(last_sock_error, 10036);
    close_socket(sock);
}

TEST_F(TcpOpen, ConnectFailureOtherThanWouldBlockCloses) {
    fake_connect_and_friends();
    seen.connect_error = 10037; // WSAEALREADY: not one of the two in-progress codes
    EXPECT_EQ(tcp_open("10.0.0.1:5", 601, "", 0), -1);
    EXPECT_EQ(seen.events, (std::vector<std::string>{"nonblocking", "connect", "close"}));
}

int record_poll(poll_entry *entries, poll_count count, int timeout) {
    seen.poll_timeout = timeout;
    seen.polled = count;
    return real_calls().poll(entries, count, 0);
}

TEST_F(TcpOpen, WaitReadableReportsDataWithinLimit) {
    loopback_pair pair;
    EXPECT_EQ(wait_readable(pair.client, 20), 0);
    ASSERT_EQ(send_bytes(pair.server, "x", 1), 1);
    EXPECT_EQ(wait_readable(pair.client, 1000), 1);
    sys.poll = record_poll;
    wait_readable(pair.client, 1500);
    EXPECT_EQ(seen.poll_timeout, 1500);
    wait_readable(pair.client, -7);
    EXPECT_EQ(seen.poll_timeout, 0);
}

TEST_F(TcpOpen, WaitAnyReadableSkipsNoSocketEntries) {
    loopback_pair first;
    loopback_pair second;
    const int socks[] = {-1, first.client, -1, second.client};
    EXPECT_EQ(wait_any_readable(socks, 4, 10), 0);
    ASSERT_EQ(send_bytes(second.server, "x", 1), 1);
    EXPECT_EQ(wait_any_readable(socks, 4, 1000), 1);
    sys.poll = record_poll;
    const int none[] = {-1, -1};
    EXPECT_EQ(wait_any_readable(none, 2, 30), 0);
    EXPECT_EQ(seen.polled, 0u);
    EXPECT_EQ(seen.poll_timeout, 30);
}

// A poll that two signals interrupt before it runs for real.
int interrupted_polls = 0;
std::vector<int> poll_limits;
int interrupted_twice(poll_entry *entries, poll_count count, int timeout) {
    poll_limits.push_back(timeout);
    if (++interrupted_polls <= 2) {
        sys.set_error(kSockInterrupted);
        return -1;
    }
    return real_calls().poll(entries, count, timeout);
}

TEST_F(TcpOpen, ASignalDoesNotCutAWaitShort) {
    // The wait goes on for what is left of its limit: a program that takes signals at any
    // rate must not see every wait end as if nothing had come.
    loopback_pair pair;
    ASSERT_EQ(send_bytes(pair.server, "x", 1), 1);
    sys.poll = interrupted_twice;
    interrupted_polls = 0;
    poll_limits.clear();
    EXPECT_EQ(wait_readable(pair.client, 1000), 1);
    EXPECT_EQ(interrupted_polls, 3);
    ASSERT_EQ(poll_limits.size(), 3u);
    EXPECT_EQ(poll_limits[0], 1000);
    EXPECT_LE(poll_limits[2], 1000);
    EXPECT_GT(poll_limits[2], 0);

    interrupted_polls = 0;
    const int socks[] = {pair.client};
    EXPECT_EQ(wait_any_readable(socks, 1, 1000), 1);
    EXPECT_EQ(interrupted_polls, 3);

    // With nothing to read it still ends by its limit.
    char byte[2];
    ASSERT_EQ(recv_some(pair.client, byte, 1), 1);
    interrupted_polls = 0;
    EXPECT_EQ(wait_readable(pair.client, 30), 0);
    EXPECT_EQ(interrupted_polls, 3);
}

TEST_F(TcpOpen, RecvTimedTimesOutAndLeavesSocketBlocking) {
    loopback_pair pair;
    char buffer[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recv_timed(pair.client, buffer, sizeof buffer, 50), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_FALSE(is_non_blocking(pair.client));
    record_sock_error();
    EXPECT_EQ(last_sock_error, 10035);
}

TEST_F(TcpOpen, RecvTimedReturnsDataWithoutTerminator) {
    loopback_pair pair;
    ASSERT_EQ(send_bytes(pair.server, "hello", 5), 5);
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(recv_timed(pair.client, buffer, sizeof buffer, 1000), 5);
    EXPECT_EQ(std::string(buffer, 6), "hello#");
    EXPECT_FALSE(is_non_blocking(pair.client));
}

// The same in both modes: a blocking link socket must not hold the receive either.
TEST_F(TcpOpen, RecvSomeWouldBlockDataAndPeerClose) {
    for (int blocking : {0, 1}) {
        SCOPED_TRACE(blocking ? "blocking socket" : "non-blocking socket");
        loopback_pair pair;
        set_blocking(pair.client, blocking);
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(recv_some(pair.client, buffer, 15), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        EXPECT_EQ(last_sock_error, 10035);
        EXPECT_EQ(buffer[0], '#');

        ASSERT_EQ(send_bytes(pair.server, "abcde", 5), 5);
        ASSERT_EQ(wait_readable(pair.client, 1000), 1);
        EXPECT_EQ(recv_some(pair.client, buffer, 15), 5);
        EXPECT_EQ(std::string(buffer), "abcde");

        close_socket(pair.server);
        pair.server = -1;
        ASSERT_EQ(wait_readable(pair.client, 1000), 1);
        EXPECT_EQ(recv_some(pair.client, buffer, 15), -1);
        EXPECT_EQ(buffer[0], '\0');
    }
}

ssize_t record_send(int sock, const void *bytes, size_t length, int flags) {
    seen.send_flags = flags;
    return real_calls().send(sock, bytes, length, flags);
}

TEST_F(TcpOpen, SendBytesNeverRaisesSigpipe) {
    sys.send = record_send;
    loopback_pair pair;
    EXPECT_EQ(send_bytes(pair.client, "abc", 3), 3);
    // The flag exists only where such a send would raise SIGPIPE.
    if constexpr (kSendNoSignal != 0) {
        EXPECT_NE(seen.send_flags & kSendNoSignal, 0);
    }
    EXPECT_EQ(send_bytes(pair.client, "abc", -1), -1);
    // A peer that has gone: the sends fail instead of ending the process.
    close_socket(pair.server);
    pair.server = -1;
    int result = 0;
    for (int i = 0; i < 50 && result >= 0; ++i)
        result = send_bytes(pair.client, "abc", 3);
    EXPECT_EQ(result, -1);
}

TEST_F(TcpOpen, CloseSocketIgnoresNoSocketAndSleepsReturnOne) {
    sys.close = fake_close;
    close_socket(-1);
    EXPECT_TRUE(seen.events.empty());
    EXPECT_EQ(sleep_ms(0), 1);
    EXPECT_EQ(sleep_seconds(0), 1);
}

} // namespace
} // namespace brennic

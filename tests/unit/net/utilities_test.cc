#include "net/extra/utilities.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "net/socket_errors.h"
#include "tests/unit/net/net_fixture.h"

namespace brennic {
namespace {

using testing::is_open;
using testing::logged;
using testing::loopback_listener;
using testing::loopback_pair;
using testing::NetTest;
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
    errno = EFAULT;
    return -1;
}

int long_gethostname(char *name, size_t length) {
    std::memset(name, 'h', length); // fills it without a terminator
    return 0;
}

TEST_F(Lookups, LocalHostName) {
    char expected[256] = "";
    ::gethostname(expected, sizeof expected);
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
        ASSERT_EQ(::send(pair.server, bytes.data(), bytes.size(), 0),
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
    ::close(pair.server);
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
        errno = EAGAIN;
        return -1;
    }
    return ::recv(sock, buffer, length, flags);
}

TEST_F(LineReader, WouldBlockIsRetriedOtherErrorsEndTheLine) {
    peer_sends("ok\r\n");
    sys.recv = stuttering_recv;
    would_block_left = 3;
    char buffer[16];
    ASSERT_EQ(read_line_bytewise(pair.client, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "ok");
    EXPECT_EQ(would_block_left, 0);
    ::shutdown(pair.client, SHUT_RDWR);
    EXPECT_EQ(read_line_bytewise(-1, buffer, sizeof buffer), 0);
}

// ---- listening and accepting ------------------------------------------------------------

int failing_bind(int, const sockaddr *, socklen_t) {
    errno = EADDRINUSE;
    return -1;
}
int failing_listen(int, int) {
    errno = EOPNOTSUPP;
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
    EXPECT_NE(::fcntl(accepted, F_GETFD) & FD_CLOEXEC, 0);
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

TEST_F(Listener, AsyncOpenReturnsNonBlockingSocket) {
    loopback_listener listener;
    const int sock = tcp_open_async("127.0.0.1", listener.port, "");
    ASSERT_NE(sock, -1);
    EXPECT_NE(::fcntl(sock, F_GETFL) & O_NONBLOCK, 0);
    close_socket(sock);
}

// ---- datagram sockets, groups, options --------------------------------------------------

int failing_socket(int, int, int) {
    errno = ENOBUFS;
    return -1;
}

int last_option_value = -99;
int last_option_name = -1;
int refuse_option(int, int, int name, const void *, socklen_t) {
    last_option_name = name;
    errno = EINVAL;
    return -1;
}
int record_option(int sock, int level, int name, const void *value, socklen_t length) {
    last_option_name = name;
    if (length == sizeof(int)) last_option_value = *static_cast<const int *>(value);
    return ::setsockopt(sock, level, name, value, length);
}

class Datagram : public NetTest {};

TEST_F(Datagram, ConnectedPairExchangesADatagram) {
    const int receiver = udp_create("127.0.0.1", 0, nullptr, 0);
    ASSERT_NE(receiver, -1);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(receiver, reinterpret_cast<sockaddr *>(&bound), &length);
    const int sender = udp_create("", 0, "127.0.0.1", ntohs(bound.sin_port));
    ASSERT_NE(sender, -1);
    EXPECT_EQ(send_some(sender, "ping", 4), 4);
    ASSERT_EQ(wait_readable(receiver, 1000), 1);
    char buffer[8] = "";
    EXPECT_EQ(::recv(receiver, buffer, sizeof buffer, 0), 4);
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
    ::getsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length);
    EXPECT_NE(no_delay, 0);

    EXPECT_EQ(set_linger(pair.client), 1);
    linger current{};
    length = sizeof current;
    ::getsockopt(pair.client, SOL_SOCKET, SO_LINGER, &current, &length);
    EXPECT_EQ(current.l_onoff, 1);
    EXPECT_EQ(current.l_linger, 60);
    EXPECT_TRUE(logged.empty());

    sys.setsockopt = refuse_option;
    EXPECT_EQ(set_linger(pair.client), 1);
    EXPECT_TRUE(
        was_logged(kLevelInfo, "linger failed () The socket has not been bound with bind.  "));
}

// ---- sending ----------------------------------------------------------------------------

std::string sent_bytes;
int send_shortfall = 0;
int send_chunk = 0;
int send_fail_after = -1;

ssize_t scripted_send(int, const void *bytes, size_t length, int) {
    if (send_fail_after == 0) {
        errno = ECONNRESET;
        return -1;
    }
    if (send_fail_after > 0) --send_fail_after;
    size_t n = length;
    if (send_chunk > 0 && n > static_cast<size_t>(send_chunk)) n = send_chunk;
    if (send_shortfall > 0 && n >= static_cast<size_t>(send_shortfall)) n -= send_shortfall;
    sent_bytes.append(static_cast<const char *>(bytes), n);
    return static_cast<ssize_t>(n);
}

ssize_t blocked_send(int, const void *, size_t, int) {
    errno = EWOULDBLOCK;
    return -1;
}

std::string read_file(const char *name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class Sending : public NetTest {
  protected:
    std::string old_dir;
    std::string temp_dir;
    void SetUp() override {
        NetTest::SetUp();
        sent_bytes.clear();
        send_shortfall = 0;
        send_chunk = 0;
        send_fail_after = -1;
        sys.send = scripted_send;
        char cwd[4096];
        ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
        old_dir = cwd;
        char pattern[] = "/tmp/net_send_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        temp_dir = pattern;
        ASSERT_EQ(::chdir(temp_dir.c_str()), 0);
    }
    void TearDown() override {
        ::unlink("raw.dat");
        ::rmdir("raw.dat");
        EXPECT_EQ(::chdir(old_dir.c_str()), 0);
        ::rmdir(temp_dir.c_str());
        NetTest::TearDown();
    }
};

TEST_F(Sending, SendSomeResults) {
    EXPECT_EQ(send_some(5, "abc", 3), 3);
    sys.send = blocked_send;
    EXPECT_EQ(send_some(5, "abc", 3), 0);
    EXPECT_EQ(last_sock_error, 10035);
    sys.send = scripted_send;
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
    ASSERT_EQ(::mkdir("raw.dat", 0700), 0); // a directory cannot be opened for appending
    EXPECT_EQ(send_captured(5, "data", 4), 4);
    EXPECT_EQ(sent_bytes, "data");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].level, kLevelError);
    EXPECT_NE(logged[0].text.find("raw.dat"), std::string::npos);
}

// The capture holds every byte sent: it is created owner-only, and only a regular file of
// the user's own receives them. A link, a FIFO (with or without a reader) and another user's
// file are left as they are and reported; the bytes are sent all the same. The alarm ends an
// open that waits for a FIFO's reader.
TEST_F(Sending, CaptureIsOnlyTheUsersOwnRegularFile) {
    const mode_t old_mask = ::umask(0);
    EXPECT_EQ(send_captured(5, "new", 3), 3);
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::stat("raw.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::unlink("raw.dat"), 0);

    std::ofstream("target") << "keep";
    const std::vector<std::string> setups = {"symlink", "fifo", "fifo with reader",
                                             "another user's file"};
    for (const std::string &setup : setups) {
        SCOPED_TRACE(setup);
        int reader = -1;
        if (setup == "symlink") {
            ASSERT_EQ(::symlink("target", "raw.dat"), 0);
        } else if (setup.rfind("fifo", 0) == 0) {
            ASSERT_EQ(::mkfifo("raw.dat", 0600), 0);
        }
        if (setup == "fifo with reader") reader = ::open("raw.dat", O_RDONLY | O_NONBLOCK);
        if (setup == "another user's file") {
            if (::geteuid() != 0) continue; // only root can give the file away
            std::ofstream("raw.dat") << "";
            ASSERT_EQ(::chown("raw.dat", 65534, 65534), 0);
        }
        logged.clear();
        sent_bytes.clear();
        ::alarm(10);
        EXPECT_EQ(send_captured(5, "data", 4), 4);
        ::alarm(0);
        EXPECT_EQ(sent_bytes, "data");
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_NE(logged[0].text.find("raw.dat"), std::string::npos);
        EXPECT_EQ(read_file("target"), "keep");
        char buf[8];
        if (reader >= 0) {
            EXPECT_LE(::read(reader, buf, sizeof buf), 0) << "nothing to read";
        } else if (setup == "another user's file") {
            EXPECT_EQ(read_file("raw.dat"), "");
        }
        if (reader >= 0) ::close(reader);
        ASSERT_EQ(::unlink("raw.dat"), 0);
    }
    ::unlink("target");
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
        errno = EMFILE;
        return -1;
    }
    ++sockets_made;
    return ::socket(family, type, protocol);
}
int counting_close(int sock) {
    ++sockets_closed;
    return ::close(sock);
}

class Probe : public NetTest {};

TEST_F(Probe, CountsUpTo300AndLeavesNoneOpen) {
    const int before = ::dup(0);
    ::close(before);
    EXPECT_EQ(count_openable_sockets(), 300);
    const int after = ::dup(0);
    ::close(after);
    EXPECT_EQ(after, before); // the lowest free descriptor is free again
}

TEST_F(Probe, StopsAtTheFirstFailure) {
    sys.socket = socket_until_seven;
    sys.close = counting_close;
    EXPECT_EQ(count_openable_sockets(), 7);
    EXPECT_EQ(sockets_closed, 7);
}

} // namespace
} // namespace brennic

// The test server on its own: its cipher against known values, its directory, a session
// fed bytes directly, and the running program spoken to over a loopback socket.
// Descriptor limits and /proc, which only the POSIX test of running out of descriptors uses.
#if !defined(_WIN32)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The socket headers come before gtest's, which brings in windows.h on Windows.
#include "net/platform.h"
#include "net/tcp.h"

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"
#include "tools/testserver/directory.h"
#include "tools/testserver/session.h"
#include "tools/testserver/stream_cipher.h"

using namespace brennic::testserver;
using brennic::sys;
using brennic::e2e::server_process;
using brennic::e2e::temp_dir;

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr char kUsers[] = "smith secret1 mail=smith@example.org dept=ops\n"
                          "# a comment line\n"
                          "\n"
                          "jones pw2 mail=jones@example.org dept=dev\r\n"
                          "nopass (NULL) dept=none\n";

// ---- cipher ----------------------------------------------------------------------------

TEST(StreamCipher, ReferenceOutputsAndKeyBytes) {
    twister g(4357);
    const std::uint32_t want[] = {3510405877u, 4290933890u, 2191955339u, 564929546u, 152112058u};
    for (std::uint32_t w : want)
        EXPECT_EQ(g.next(), w);
    twister k(4357);
    const int bytes[] = {142, 185, 74, 251, 223};
    for (int b : bytes)
        EXPECT_EQ(k.key_byte(), b);
}

TEST(StreamCipher, ZeroSeedGivesZeroKeystreamAcrossRegeneration) {
    twister g(0);
    for (int i = 0; i < 1300; ++i)
        ASSERT_EQ(g.next(), 0u) << "output " << i;
}

TEST(StreamCipher, HashValues) {
    EXPECT_EQ(text_hash(""), 0);
    EXPECT_EQ(text_hash("a"), 97);
    EXPECT_EQ(text_hash("abc"), 26499);
    EXPECT_EQ(hash_remainder(26499), 19);
    EXPECT_EQ(text_hash("ffffffff"), -858993466);
    EXPECT_EQ(hash_remainder(text_hash("ffffffff")), -6);
    EXPECT_EQ(text_hash("\xE9"), -23);
    EXPECT_EQ(hash_remainder(-23), -3);
    EXPECT_EQ(text_hash("abcdefgh"), text_hash("xabcdefgh"));
}

TEST(StreamCipher, RoundTripWhateverTheCuts) {
    std::string plain;
    for (int i = 0; i < 2000; ++i)
        plain.push_back(static_cast<char>(i * 7));
    std::string wire = plain;
    twister tx(-5), rx(-5);
    encipher(tx, reinterpret_cast<unsigned char *>(wire.data()), wire.size());
    EXPECT_NE(wire, plain);
    for (std::size_t pos = 0, cut = 1; pos < wire.size(); pos += cut, cut = cut * 3 % 97 + 1) {
        std::size_t n = std::min(cut, wire.size() - pos);
        decipher(rx, reinterpret_cast<unsigned char *>(wire.data() + pos), n);
    }
    EXPECT_EQ(wire, plain);
}

// ---- directory ---------------------------------------------------------------------------

std::vector<std::string> ask(directory &d, const std::string &req) {
    reply_list out;
    out.add("stale");
    d.answer(req, out);
    return out.to_vector();
}

using lines = std::vector<std::string>;

TEST(Directory, LoadsUsersSkippingCommentsAndBlankLines) {
    directory d;
    d.load_text(kUsers);
    EXPECT_EQ(d.size(), 3u);
    ASSERT_NE(d.find("jones"), nullptr);
    EXPECT_EQ(d.find("jones")->attrs, "mail=jones@example.org dept=dev");
    EXPECT_FALSE(d.find("nopass")->has_password);
}

TEST(Directory, CheckAnswers) {
    directory d;
    d.load_text(kUsers);
    EXPECT_EQ(ask(d, "check smith secret1"), lines{"+OK smith password accepted"});
    EXPECT_EQ(ask(d, "check smith secret"), lines{"-ERR smith password rejected"});
    EXPECT_EQ(ask(d, "check Smith secret1"), lines{"-ERR Smith no such user"});
    EXPECT_EQ(ask(d, "check nopass "), lines{"-ERR nopass password rejected"});
    EXPECT_EQ(ask(d, "check nopass (NULL)"), lines{"-ERR nopass password rejected"});
    // A user given an empty password has none: the empty password does not match it.
    EXPECT_EQ(ask(d, "set blank  x=1"), lines{"+OK blank created"});
    EXPECT_EQ(ask(d, "check blank "), lines{"-ERR blank password rejected"});
}

TEST(Directory, LookupGivesOneDataLinePerAttribute) {
    directory d;
    d.load_text(kUsers);
    EXPECT_EQ(ask(d, "lookup smith"),
              (lines{"+DATA smith mail=smith@example.org", "+DATA smith dept=ops",
                     "+OK smith mail=smith@example.org dept=ops"}));
    EXPECT_EQ(ask(d, "lookup nobody"), lines{"-ERR nobody no such user"});
}

TEST(Directory, SetModDelChangeTheTable) {
    directory d;
    d.load_text(kUsers);
    EXPECT_EQ(ask(d, "set brown pw a=1 b=2"), lines{"+OK brown created"});
    EXPECT_EQ(ask(d, "check brown pw"), lines{"+OK brown password accepted"});
    EXPECT_EQ(ask(d, "mod brown (NULL) b=3 c=4"), lines{"+OK brown modified"});
    EXPECT_EQ(d.find("brown")->attrs, "a=1 b=3 c=4");
    EXPECT_EQ(ask(d, "check brown pw"), lines{"+OK brown password accepted"});
    EXPECT_EQ(ask(d, "set brown (NULL) z=9"), lines{"+OK brown replaced"});
    EXPECT_EQ(d.find("brown")->attrs, "z=9");
    EXPECT_EQ(ask(d, "check brown pw"), lines{"+OK brown password accepted"});
    EXPECT_EQ(ask(d, "set brown  z=8"), lines{"+OK brown replaced"});
    EXPECT_EQ(ask(d, "check brown pw"), lines{"+OK brown password accepted"});
    EXPECT_EQ(ask(d, "mod brown newpw"), lines{"+OK brown modified"});
    EXPECT_EQ(ask(d, "check brown pw"), lines{"-ERR brown password rejected"});
    EXPECT_EQ(ask(d, "check brown newpw"), lines{"+OK brown password accepted"});
    EXPECT_EQ(ask(d, "mod ghost pw a=1"), lines{"-ERR ghost no such user"});
    EXPECT_EQ(ask(d, "del brown"), lines{"+OK brown deleted"});
    EXPECT_EQ(ask(d, "del brown"), lines{"-ERR brown no such user"});
    EXPECT_EQ(ask(d, "set  "), lines{"-ERR (none) user name missing"});
}

TEST(Directory, SearchMatchesNamesAndAttributesIgnoringCase) {
    directory d;
    d.load_text(kUsers);
    EXPECT_EQ(ask(d, "SEARCH Smith"),
              (lines{"+DATA smith mail=smith@example.org dept=ops", "+OK search 1 found"}));
    EXPECT_EQ(ask(d, "  search example.ORG"),
              (lines{"+DATA jones mail=jones@example.org dept=dev",
                     "+DATA smith mail=smith@example.org dept=ops", "+OK search 2 found"}));
    EXPECT_EQ(ask(d, "search zzz"), lines{"+OK search 0 found"});
    EXPECT_EQ(ask(d, "search").size(), 4u); // empty text matches every user
    EXPECT_EQ(ask(d, "frobnicate x"), lines{"-ERR frobnicate unknown request"});
}

TEST(Directory, MergeAttrs) {
    EXPECT_EQ(merge_attrs("a=1 b=2", "b=5 c=6"), "a=1 b=5 c=6");
    EXPECT_EQ(merge_attrs("", "  x=1   y "), "x=1 y");
    EXPECT_EQ(merge_attrs("flag a=1", "flag"), "flag a=1");
}

// ---- session, fed directly ---------------------------------------------------------------

// Plays the client's side of one session in memory.
struct fake_client {
    server_options opts;
    directory dir;
    server_context ctx;
    std::optional<session> s;
    std::optional<twister> tx, rx;
    std::string secret = "abc";

    void start() {
        dir.load_text(kUsers);
        ctx.opts = &opts;
        ctx.dir = &dir;
        ctx.secret_hash = text_hash(secret);
        s.emplace(ctx);
    }
    std::string take_output() {
        std::string out(s->output());
        s->consume(out.size());
        return out;
    }
    session_action handshake(const std::string &line) { return s->feed(line.data(), line.size()); }
    void seed(std::int32_t n) {
        std::uint32_t seed =
            static_cast<std::uint32_t>(ctx.secret_hash) + static_cast<std::uint32_t>(n);
        tx.emplace(seed);
        rx.emplace(seed);
    }
    session_action send(const std::string &plain, std::size_t piece = 0) {
        std::string wire = plain;
        for (auto &c : wire)
            c = static_cast<char>(static_cast<unsigned char>(c) - tx->key_byte());
        if (piece == 0) return s->feed(wire.data(), wire.size());
        session_action last = session_action::none;
        for (std::size_t i = 0; i < wire.size(); i += piece) {
            last = s->feed(wire.data() + i, std::min(piece, wire.size() - i));
        }
        return last;
    }
    std::string receive() {
        std::string out = take_output();
        decipher(*rx, reinterpret_cast<unsigned char *>(out.data()), out.size());
        return out;
    }
};

TEST(Session, HandshakeThenEncipheredExchange) {
    fake_client c;
    c.start();
    EXPECT_EQ(c.handshake("1 ENCRYPT NORMAL 19\r\n"), session_action::none);
    EXPECT_EQ(c.take_output(), "1 +ENCRYPT 42\r\n");
    c.seed(42);
    EXPECT_EQ(c.send("-1 check smith secret1\r\n"), session_action::none);
    EXPECT_EQ(c.receive(), "-1 +OK smith password accepted\r\n");
    // A request cut into single bytes gives the same answer, keystream still in step.
    EXPECT_EQ(c.send("7 lookup jones\r\n", 1), session_action::none);
    EXPECT_EQ(c.receive(), "7 +DATA jones mail=jones@example.org\r\n7 +DATA jones dept=dev\r\n"
                           "7 +OK jones mail=jones@example.org dept=dev\r\n");
}

TEST(Session, RequestBytesThatCameWithTheHandshakeLine) {
    fake_client c;
    c.start();
    c.seed(42);
    std::string req = "5 del jones\r\n";
    for (auto &ch : req)
        ch = static_cast<char>(static_cast<unsigned char>(ch) - c.tx->key_byte());
    std::string both = "1 ENCRYPT NORMAL 19\r\n" + req;
    c.s->feed(both.data(), both.size());
    std::string out = c.take_output();
    ASSERT_EQ(out.substr(0, 15), "1 +ENCRYPT 42\r\n");
    out.erase(0, 15);
    decipher(*c.rx, reinterpret_cast<unsigned char *>(out.data()), out.size());
    EXPECT_EQ(out, "5 +OK jones deleted\r\n");
}

TEST(Session, HandshakeRefusals) {
    {
        fake_client c;
        c.start();
        EXPECT_EQ(c.handshake("1 ENCRYPT NORMAL 3\r\n"), session_action::close_when_sent);
        EXPECT_EQ(c.take_output(), "1 -ERR bad secret\r\n");
    }
    {
        fake_client c;
        c.secret = "ffffffff";
        c.start();
        EXPECT_EQ(c.handshake("1 ENCRYPT NORMAL -6\r\n"), session_action::none);
        EXPECT_EQ(c.take_output(), "1 +ENCRYPT 42\r\n");
    }
    {
        fake_client c;
        c.opts.check_hash = false;
        c.start();
        EXPECT_EQ(c.handshake("1 ENCRYPT NORMAL 3\r\n"), session_action::none);
        EXPECT_EQ(c.take_output(), "1 +ENCRYPT 42\r\n");
    }
    {
        fake_client c;
        c.start();
        EXPECT_EQ(c.handshake("1 HELLO\r\n"), session_action::close_when_sent);
        EXPECT_EQ(c.take_output(), "1 -ERR bad handshake\r\n");
    }
    {
        fake_client c;
        c.opts.handshake = handshake_mode::refuse;
        c.start();
        EXPECT_EQ(c.handshake("1 ENCRYPT NORMAL 19\r\n"), session_action::close_when_sent);
        EXPECT_EQ(c.take_output(), "1 -ERR handshake refused\r\n");
    }
    {
        fake_client c;
        c.opts.handshake = handshake_mode::one_byte;
        c.start();
        c.handshake("1 ENCRYPT NORMAL 19\r\n");
        EXPECT_EQ(c.take_output(), "1");
    }
    {
        fake_client c;
        c.opts.handshake = handshake_mode::silent;
        c.start();
        c.handshake("1 ENCRYPT NORMAL 19\r\n");
        EXPECT_EQ(c.take_output(), "");
    }
}

TEST(Session, ConnectionAndProcessFaults) {
    {
        fake_client c;
        c.opts.close_after = 1;
        c.start();
        c.handshake("1 ENCRYPT NORMAL 19\r\n");
        c.take_output();
        c.seed(42);
        EXPECT_EQ(c.send("-1 del smith\r\n"), session_action::none);
        EXPECT_EQ(c.receive(), "-1 +OK smith deleted\r\n");
        EXPECT_EQ(c.send("-1 del jones\r\n"), session_action::close_when_sent);
        EXPECT_EQ(c.receive(), "");
        EXPECT_NE(c.dir.find("jones"), nullptr) << "the refused request must not run";
    }
    {
        fake_client c;
        c.opts.reset_at = 2;
        c.start();
        c.handshake("1 ENCRYPT NORMAL 19\r\n");
        c.take_output();
        c.seed(42);
        EXPECT_EQ(c.send("-1 lookup smith\r\n"), session_action::none);
        EXPECT_EQ(c.send("-1 lookup smith\r\n"), session_action::reset_now);
    }
    {
        fake_client c;
        c.opts.die_after = 0;
        c.start();
        c.handshake("1 ENCRYPT NORMAL 19\r\n");
        c.take_output();
        c.seed(42);
        EXPECT_EQ(c.send("-1 check smith secret1\r\n"), session_action::stop_server);
        EXPECT_EQ(c.receive(), "");
    }
}

TEST(Session, ReplyFaults) {
    fake_client c;
    c.opts.unknown_id = true;
    c.opts.wrong_user = "jones";
    c.opts.nul_in_reply = true;
    c.opts.overlong_bytes = 30;
    c.opts.garbage_bytes = 4;
    c.start();
    c.handshake("1 ENCRYPT NORMAL 19\r\n");
    c.take_output();
    c.seed(42);
    c.send("-1 check smith secret1\r\n");
    std::string got = c.receive();
    ASSERT_GT(got.size(), 6u);
    for (int i = 0; i < 4; ++i)
        EXPECT_GE(static_cast<unsigned char>(got[i]), 0x80) << i;
    EXPECT_EQ(got.substr(4), "\r\n999 +DATA " + std::string(30, 'x') + "\r\n" +
                                 std::string("999 +DATA nul\0\0inside\r\n", 23) +
                                 "999 +OK jones password accepted\r\n");
    // The junk line comes once per link only.
    c.send("-1 check smith secret1\r\n");
    got = c.receive();
    EXPECT_EQ(got.substr(0, 10), "999 +DATA ");
}

TEST(Session, OverlongInputEndsTheConnection) {
    fake_client c;
    c.start();
    std::string junk(session::kInputMax + 10, 'a');
    EXPECT_EQ(c.s->feed(junk.data(), junk.size()), session_action::reset_now);
}

// ---- the running program -----------------------------------------------------------------

class wire_client {
  public:
    // receive_buffer: a receive buffer of that size, set before connecting (0: the system's).
    explicit wire_client(int port, int receive_buffer = 0) {
        brennic::winsock_start();
        fd_ = sys.socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0)
            sys.setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        connected_ = sys.connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~wire_client() { brennic::close_socket(fd_); }
    bool connected() const { return connected_; }
    void send_plain(const std::string &s) {
        sys.send(fd_, s.data(), s.size(), brennic::kSendNoSignal);
    }
    // Reads until want bytes have come, the peer closes, or ms pass; the number of
    // separate reads is counted.
    std::string read_some(std::size_t want, int ms, int *reads = nullptr) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < want && std::chrono::steady_clock::now() < end) {
            brennic::poll_entry p{fd_, POLLIN, 0};
            if (sys.poll(&p, 1, 50) <= 0) continue;
            char buf[4096];
            ssize_t n = sys.recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            if (reads != nullptr) ++*reads;
            got.append(buf, static_cast<std::size_t>(n));
#if defined(TCP_QUICKACK) // where acknowledgements can be asked for at once
            if (quick_ack_) {
                const int on = 1;
                sys.setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            }
#endif
        }
        return got;
    }
    bool closed() const { return closed_; }
    // A larger receive buffer, with every receive acknowledged at once: a connection that
    // began with a small buffer has no window scaling, and delayed acknowledgements would
    // then hold it to a trickle.
    void widen_receive_buffer(int size) {
        sys.setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        quick_ack_ = true;
    }
    void secure(std::uint32_t seed) {
        tx_.emplace(seed);
        rx_.emplace(seed);
    }
    void send_line(const std::string &plain) {
        std::string w = plain;
        for (auto &c : w)
            c = static_cast<char>(static_cast<unsigned char>(c) - tx_->key_byte());
        send_plain(w);
    }
    std::string read_line_text(std::size_t want, int ms, int *reads = nullptr) {
        std::string got = read_some(want, ms, reads);
        decipher(*rx_, reinterpret_cast<unsigned char *>(got.data()), got.size());
        return got;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    bool quick_ack_ = false;
    std::optional<twister> tx_, rx_;
};

TEST(TestServerProgram, ServesTwoClientsAndRecordsWhatTheySent) {
    temp_dir dir;
    std::string users = dir.write("users.txt", kUsers);
    std::string secret = dir.write("secret.txt", "abc\r\nsecond line\n");
    std::string transcript = dir.file("transcript.txt");
    server_process srv;
    ASSERT_TRUE(srv.start(
        {"--users", users, "--secret", secret, "--number", "-7", "--transcript", transcript}));
    wire_client a(srv.port()), b(srv.port());
    ASSERT_TRUE(a.connected() && b.connected());
    a.send_plain("1 ENCRYPT NORMAL 19\r\n");
    b.send_plain("1 ENCRYPT NORMAL 19\r\n");
    EXPECT_EQ(a.read_some(15, 3000), "1 +ENCRYPT -7\r\n");
    EXPECT_EQ(b.read_some(15, 3000), "1 +ENCRYPT -7\r\n");
    a.secure(26499u - 7u);
    b.secure(26499u - 7u);
    a.send_line("3 set brown pw x=1\r\n");
    EXPECT_EQ(a.read_line_text(21, 3000), "3 +OK brown created\r\n");
    b.send_line("4 check brown pw\r\n");
    std::string want = "4 +OK brown password accepted\r\n";
    EXPECT_EQ(b.read_line_text(want.size(), 3000), want);
#ifdef _WIN32
    srv.stop(); // no request to end another console program there: it is ended at once
#else
    EXPECT_EQ(srv.stop(), 0);
#endif
    std::string t = brennic::e2e::read_file(transcript);
    EXPECT_NE(t.find(" handshake 1 ENCRYPT NORMAL 19\n"), std::string::npos) << t;
    EXPECT_NE(t.find(" request 3 set brown pw x=1\n"), std::string::npos) << t;
    EXPECT_NE(t.find(" request 4 check brown pw\n"), std::string::npos) << t;
}

TEST(TestServerProgram, PacedRepliesArriveInPieces) {
    temp_dir dir;
    server_process srv;
    ASSERT_TRUE(srv.start(
        {"--users", dir.write("u", kUsers), "--no-hash-check", "--chunk", "4", "--pause", "15"}));
    wire_client c(srv.port());
    c.send_plain("1 ENCRYPT NORMAL 0\r\n");
    // The handshake reply leaves whole: the client takes it from a single receive.
    int hs_reads = 0;
    ASSERT_EQ(c.read_some(15, 3000, &hs_reads), "1 +ENCRYPT 42\r\n");
    EXPECT_EQ(hs_reads, 1);
    c.secure(42u);
    c.send_line("-1 check smith secret1\r\n");
    std::string want = "-1 +OK smith password accepted\r\n";
    int reads = 0;
    EXPECT_EQ(c.read_line_text(want.size(), 5000, &reads), want);
    EXPECT_GE(reads, 4) << "a paced reply must not arrive in one piece";
}

TEST(TestServerProgram, DieAfterEndsTheProcessAndCloseAfterTheConnection) {
    temp_dir dir;
    std::string users = dir.write("u", kUsers);
    {
        server_process srv;
        ASSERT_TRUE(srv.start({"--users", users, "--no-hash-check", "--close-after", "1"}));
        wire_client c(srv.port());
        c.send_plain("1 ENCRYPT NORMAL 0\r\n");
        ASSERT_EQ(c.read_some(15, 3000), "1 +ENCRYPT 42\r\n");
        c.secure(42u);
        c.send_line("-1 lookup nobody\r\n");
        EXPECT_EQ(c.read_line_text(27, 3000), "-1 -ERR nobody no such user\r\n");
        c.send_line("-1 lookup nobody\r\n");
        EXPECT_EQ(c.read_some(1, 3000), "");
        EXPECT_TRUE(c.closed());
        EXPECT_TRUE(srv.running()) << "close-after ends the connection, not the server";
    }
    {
        server_process srv;
        ASSERT_TRUE(srv.start({"--users", users, "--no-hash-check", "--die-after", "0"}));
        wire_client c(srv.port());
        c.send_plain("1 ENCRYPT NORMAL 0\r\n");
        ASSERT_EQ(c.read_some(15, 3000), "1 +ENCRYPT 42\r\n");
        c.secure(42u);
        c.send_line("-1 lookup smith\r\n");
        EXPECT_EQ(c.read_some(1, 3000), "");
        EXPECT_TRUE(c.closed());
        for (int i = 0; i < 200 && srv.running(); ++i)
            sleep_ms(10);
        EXPECT_FALSE(srv.running());
    }
}

TEST(TestServerProgram, ExitsByItselfAfterMaxSeconds) {
    server_process srv;
    ASSERT_TRUE(srv.start({"--max-seconds", "1"}));
    for (int i = 0; i < 300 && srv.running(); ++i)
        sleep_ms(10);
    EXPECT_FALSE(srv.running());
}

TEST(TestServerProgram, SecretEndsAtItsFirstNulAsTheClientReadsIt) {
    // The client reads the secret up to its first NUL: the server must hash the same "abc".
    temp_dir dir;
    server_process srv;
    ASSERT_TRUE(srv.start({"--users", dir.write("u", kUsers), "--secret",
                           dir.write("s", std::string("abc\0def\n", 8))}));
    wire_client c(srv.port());
    c.send_plain("1 ENCRYPT NORMAL 19\r\n");
    ASSERT_EQ(c.read_some(15, 3000), "1 +ENCRYPT 42\r\n");
    c.secure(26499u + 42u);
    c.send_line("-1 check smith secret1\r\n");
    const std::string want = "-1 +OK smith password accepted\r\n";
    EXPECT_EQ(c.read_line_text(want.size(), 3000), want);
}

// Descriptor limits (rlimit) and the processor time in /proc have no Windows form: the test of
// running out of descriptors is POSIX only.
#if !defined(_WIN32)
// Processor time (user and system, in clock ticks) the process has used so far.
long cpu_ticks(pid_t pid) {
    const std::string stat = brennic::e2e::read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t pos = stat.rfind(')');
    if (pos == std::string::npos) return -1;
    std::vector<std::string> fields;
    for (std::size_t i = pos + 2, j; i < stat.size(); i = j + 1) {
        j = stat.find(' ', i);
        if (j == std::string::npos) j = stat.size();
        fields.push_back(stat.substr(i, j - i));
    }
    return fields.size() > 12 ? std::stol(fields[11]) + std::stol(fields[12]) : -1;
}

TEST(TestServerProgram, OutOfDescriptorsItWaitsInsteadOfSpinningAndAcceptsAgainLater) {
    temp_dir dir;
    server_process srv;
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 24; // inherited by the server
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    const bool started = srv.start({"--users", dir.write("u", kUsers), "--no-hash-check"});
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    ASSERT_TRUE(started);
    std::vector<std::unique_ptr<wire_client>> clients;
    for (int i = 0; i < 40; ++i)
        clients.push_back(std::make_unique<wire_client>(srv.port()));
    sleep_ms(100); // the server takes what it can
    const long before = cpu_ticks(srv.pid());
    sleep_ms(800);
    const long used = cpu_ticks(srv.pid()) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used * 1000 / sysconf(_SC_CLK_TCK), 300) << "milliseconds of processor time in 800";
    // Once descriptors are free again, the connection that waited longest is taken and
    // served (the others have gone; those still queued are taken and closed first).
    clients.erase(clients.begin(), clients.end() - 1);
    wire_client &late = *clients.back();
    late.send_plain("1 ENCRYPT NORMAL 0\r\n");
    EXPECT_EQ(late.read_some(15, 3000), "1 +ENCRYPT 42\r\n");
}
#endif

// Requests the server has taken so far, by its transcript.
std::size_t requests_taken(const std::string &transcript) {
    const std::string t = brennic::e2e::read_file(transcript);
    std::size_t count = 0;
    for (std::size_t at = 0; (at = t.find(" request ", at)) != std::string::npos; ++at)
        ++count;
    return count;
}

TEST(TestServerProgram, AClientThatNeverReadsIsNoLongerReadOnceItsRepliesPileUp) {
    // 1000 searches, each answered with some 26 KB, are sent in one piece and no reply is
    // read. The server takes requests only while less than a megabyte of replies waits,
    // also within what one receive brought; it serves the rest once the client reads.
    temp_dir dir;
    std::string users;
    for (int i = 0; i < 200; ++i)
        users += "user" + std::to_string(i) + " pw " + std::string(100, 'a') + "\n";
    const std::string transcript = dir.file("t");
    server_process srv;
    ASSERT_TRUE(srv.start(
        {"--users", dir.write("u", users), "--no-hash-check", "--transcript", transcript}));
    wire_client c(srv.port(), 4096);
    c.send_plain("1 ENCRYPT NORMAL 0\r\n");
    ASSERT_EQ(c.read_some(15, 3000), "1 +ENCRYPT 42\r\n");
    c.secure(42u);
    // One search of every user, answered first on its own to learn its reply.
    const std::string request = "-1 search\r\n";
    c.send_line(request);
    const std::string reply = c.read_line_text(200 * 130, 1000);
    ASSERT_NE(reply.find("-1 +OK search 200 found\r\n"), std::string::npos) << reply.size();
    constexpr std::size_t kRequests = 1000;
    std::string lines;
    for (std::size_t i = 0; i < kRequests; ++i)
        lines += request;
    c.send_line(lines);
    // Wait until the count of requests taken stops moving (or 5 s).
    std::size_t taken = 0;
    for (int quiet_ms = 0, waited = 0; quiet_ms < 300 && waited < 5000; waited += 50) {
        sleep_ms(50);
        const std::size_t now = requests_taken(transcript);
        quiet_ms = now == taken ? quiet_ms + 50 : 0;
        taken = now;
    }
    // 1 MiB of replies, what the server's send buffer holds (up to 4 MB here), and one reply
    // past the mark: some 200 requests.
    EXPECT_GT(taken, 1u);
    EXPECT_LT(taken, kRequests / 2) << "requests taken while no reply was read";
    c.widen_receive_buffer(1 << 20); // to read the rest at speed
    const std::string all = c.read_line_text(reply.size() * kRequests, 20000);
    EXPECT_EQ(all.size(), reply.size() * kRequests);
    EXPECT_EQ(all.substr(all.size() - reply.size()), reply);
    EXPECT_EQ(requests_taken(transcript), kRequests + 1);
}

TEST(TestServerProgram, RejectsUnknownOptionsAndMissingUsersFile) {
    temp_dir dir;
    auto r = brennic::e2e::run_program({BRENNIC_TESTSERVER_PATH, "--bogus"}, "", dir.path(), 5000);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("unknown option --bogus"), std::string::npos) << r.err;
    r = brennic::e2e::run_program({BRENNIC_TESTSERVER_PATH, "--users", dir.file("none")}, "",
                                  dir.path(), 5000);
    EXPECT_EQ(r.exit_status, 2);
    r = brennic::e2e::run_program({BRENNIC_TESTSERVER_PATH, "--port", "70000"}, "", dir.path(),
                                  5000);
    EXPECT_EQ(r.exit_status, 2);
    // A users file that opens but cannot be read is not an empty directory. Windows does not
    // open a directory as a file at all.
    r = brennic::e2e::run_program({BRENNIC_TESTSERVER_PATH, "--users", dir.path()}, "", dir.path(),
                                  5000);
    EXPECT_EQ(r.exit_status, 2);
#ifdef _WIN32
    EXPECT_NE(r.err.find("cannot open users file"), std::string::npos) << r.err;
#else
    EXPECT_NE(r.err.find("cannot read users file"), std::string::npos) << r.err;
#endif
}

} // namespace

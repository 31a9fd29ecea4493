// Link setup against a server on 127.0.0.1: every way out and the host's state after it.
#if !defined(_WIN32)
#include <sys/time.h>

#include <csignal>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "lib/cipher/secret_hash.h"
#include "tests/support/socket_checks.h"
#include "tests/unit/lib/support.h"

namespace brennic::test {
namespace {

std::int64_t fake_now = 1000;
std::int64_t fake_clock() { return fake_now; }

class LinkSetup : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        fake_now = 1000;
        hooks.now = fake_clock;
        hooks.handshake_wait_ms = 2000;
        const std::string path = secret_file();
        std::snprintf(secret_path, sizeof secret_path, "%s", path.c_str());
    }
    brennic_host *host_for(const std::string &entry) {
        std::snprintf(hosts[0].name, sizeof hosts[0].name, "%s", entry.c_str());
        host_count = 1;
        return &hosts[0];
    }
    static std::string handshake_for(const char *secret) {
        return "1 ENCRYPT NORMAL " + std::to_string(secret_hash(secret) % 20) + "\r\n";
    }
};

TEST_F(LinkSetup, OpensAnEncipheredBlockingLinkWithAnEmptyBuffer) {
    fake_server server(fake_server::greeting::accept, 42);
    brennic_host *host = host_for(server.entry());
    host->inlen = 5;      // bytes left over from an earlier link,
    host->discarding = 1; // in the middle of a line too long
    ASSERT_EQ(open_link(host), 1) << dump_log();
    EXPECT_EQ(host->open, 1);
    ASSERT_GE(host->sock, 0);
    EXPECT_TRUE(host->rx && host->tx);
    EXPECT_EQ(host->inlen, 0);
    EXPECT_EQ(host->discarding, 0) << "a new link does not drop its first line";
    EXPECT_EQ(host->last_try, 1000);
    // Sends wait for room; the receives of the exchange never wait, whatever the mode.
    EXPECT_FALSE(is_non_blocking(host->sock)) << "exchange phase is blocking";
    ASSERT_EQ(server.handshakes().size(), 1u);
    EXPECT_EQ(server.handshakes()[0], handshake_for(kSecret));
    EXPECT_EQ(count_log("Secret string (the shared secret) ", kLevelInfo), 1) << dump_log();
    EXPECT_EQ(count_log("Response (1 +ENCRYPT 42  )", kLevelInfo), 1);
    EXPECT_EQ(count_log("Time is (42) ", kLevelInfo), 1);
    EXPECT_EQ(count_log("Seed is 42", kLevelInfo), 1);
    EXPECT_EQ(count_log_prefix("socket_write len=(" +
                               std::to_string(handshake_for(kSecret).size()) + ") r=("),
              1);
}

TEST_F(LinkSetup, ASendTheServerTakesNothingOfEndsTheLinkAtTheSendLimit) {
    // The server reads nothing after the handshake: once the socket buffers are full a send
    // waits, but only for the send limit; then the short send ends the link.
    hooks.send_wait_ms = 200;
    fake_server server(fake_server::greeting::deaf);
    brennic_host *host = host_for(server.entry());
    ASSERT_EQ(open_link(host), 1) << dump_log();
    const int sock = host->sock;
    // Should a send wait on regardless, the watchdog ends the connection after 10 s, so
    // that the test fails instead of hanging.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 500 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!done) shut_down(sock);
    });
    const std::string request = "set smith pw " + std::string(18000, 'a');
    owned_record owned;
    brennic_result &r = *owned.record;
    const auto start = std::chrono::steady_clock::now();
    int sends = 0;
    while (sends < 2000 && send_cmd_host(host, 1, request.c_str(), &r) == 1)
        ++sends;
    const auto waited = std::chrono::steady_clock::now() - start;
    done = true;
    watchdog.join();
    EXPECT_GT(sends, 0) << "the buffers take some lines before a send has to wait";
    EXPECT_LT(sends, 2000);
    EXPECT_LT(waited, std::chrono::seconds(5)) << "the send waited past its limit";
    EXPECT_EQ(host->open, 0);
    EXPECT_EQ(host->sock, -1);
    EXPECT_EQ(count_log_prefix("Write failed "), 1) << dump_log();
}

TEST_F(LinkSetup, AServerReadingSteadilyNeverTripsTheSendLimit) {
    // 300 lines of 17 KB to a server that reads about 2 MB a second. A send waits for one
    // line's room, a few milliseconds here, far inside the limit; were megabytes allowed to
    // queue unsent, a waiting send would be woken only when a third of them had gone out.
    hooks.send_wait_ms = 300;
    fake_server server(fake_server::greeting::steady);
    brennic_host *host = host_for(server.entry());
    ASSERT_EQ(open_link(host), 1) << dump_log();
    const std::string request = "set smith pw " + std::string(17000, 'a');
    owned_record owned;
    brennic_result &r = *owned.record;
    int sent = 0;
    while (sent < 300 && send_cmd_host(host, 1, request.c_str(), &r) == 1)
        ++sent;
    EXPECT_EQ(sent, 300) << dump_log();
    EXPECT_EQ(host->open, 1);
    EXPECT_EQ(count_log_prefix("Write failed "), 0);
}

#if !defined(_WIN32)
std::atomic<int> alarms{0};
void count_alarm(int) { ++alarms; }
#endif

TEST_F(LinkSetup, SignalsDuringWaitingSendsDoNotEndTheLink) {
#if defined(_WIN32)
    GTEST_SKIP() << "no signals interrupt a send on Windows";
#else
    // A program that embeds the library takes a timer signal every millisecond, with a
    // handler installed under SA_RESTART, while its 17 KB lines wait for room on a server
    // that reads steadily: an interrupted send returns the part it had copied (or EINTR),
    // which must not be taken for a broken link.
    fake_server server(fake_server::greeting::steady);
    brennic_host *host = host_for(server.entry());
    ASSERT_EQ(open_link(host), 1) << dump_log();
    struct sigaction action {};
    action.sa_handler = count_alarm;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    alarms = 0;
    itimerval every_ms{{0, 1000}, {0, 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_ms, nullptr), 0);
    const std::string request = "set smith pw " + std::string(17000, 'a');
    owned_record owned;
    brennic_result &r = *owned.record;
    int sent = 0;
    while (sent < 300 && send_cmd_host(host, 1, request.c_str(), &r) == 1)
        ++sent;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(alarms.load(), 0);
    EXPECT_EQ(sent, 300) << dump_log();
    EXPECT_EQ(host->open, 1);
#endif
}

std::int64_t stepping_clock() { return fake_now += 45; }

TEST_F(LinkSetup, OnlyAFailedSetupThrottlesForAMinuteFromItsEnd) {
    fake_server server;
    brennic_host *host = host_for(server.entry());
    ASSERT_EQ(open_link(host), 1);
    // A link that was up and is lost is set up again at once.
    fake_now = 1010;
    mark_host_failed(host);
    fake_now = 1011;
    EXPECT_EQ(open_link(host), 1) << dump_log();
    EXPECT_EQ(host->last_try, 1011);
    EXPECT_EQ(count_log_prefix("Already tried host"), 0);

    // A setup that takes 90 s and fails (the clock moves 45 s at each reading: 2045 at its
    // start, 2090 at its end) throttles the host until 60 s after its end.
    fake_server silent(fake_server::greeting::silent);
    host = host_for(silent.entry());
    end_link(host);
    hooks.handshake_wait_ms = 50;
    fake_now = 2000;
    hooks.now = stepping_clock;
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(host->last_try, 2045);
    hooks.now = fake_clock;
    fake_now = 2149;
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(count_log("Already tried host in the last 60 seconds. (" + silent.entry() + ") ",
                        kLevelInfo),
              1);
    EXPECT_EQ(host->last_try, 2045);
    fake_now = 2150;
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(host->last_try, 2150);
    EXPECT_EQ(count_log_prefix("encrypt_read failed (" + silent.entry() + ")"), 2);
}

// The bytes that came with the handshake reply are deciphered as the link's first bytes: the
// line they hold reads whole (and, having come before any request, answers none), and the
// keystream stays in step for what follows.
TEST_F(LinkSetup, BytesAfterTheHandshakeReplyAreTheLinksFirstBytes) {
    fake_server server;
    server.after_handshake("7 +OK early\r\n");
    server.set_responder([](const std::string &) { return "-1 +OK later\r\n"; });
    ASSERT_EQ(open_link(host_for(server.entry())), 1) << dump_log();
    EXPECT_EQ(count_log("Response (1 +ENCRYPT 42  )"), 1);
    brennic_result *r = nullptr;
    ASSERT_EQ(request_lookup(-1, "bob", &r), 1);
    EXPECT_EQ(count_log("Unknown response 7 +OK early"), 1) << dump_log();
    ASSERT_NE(r->text, nullptr) << dump_log();
    EXPECT_STREQ(r->text, "+OK later");
    free_result(&r);
}

TEST_F(LinkSetup, AnAcceptingReplyWithoutLineEndIsAReadFailure) {
    const std::string rows[] = {"1 +ENCRYPT 42", "1 +ENCRYPT 42 " + std::string(186, 'x')};
    for (const std::string &reply : rows) {
        clear_log();
        fake_server server(fake_server::greeting::refuse);
        server.refusal_text(reply);
        brennic_host *host = host_for(server.entry());
        host->setup_failed = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(open_link(host), 0) << reply.size();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(host->sock, -1);
        EXPECT_EQ(host->open, 0);
        EXPECT_EQ(count_log_prefix("encrypt_read failed (" + server.entry() + ") "), 1)
            << dump_log();
    }
}

TEST_F(LinkSetup, AClockSetBackRefusesUntilItPassesTheLastTry) {
    brennic_host *host = host_for("127.0.0.1:1");
    EXPECT_EQ(open_link(host), 0);
    fake_now = 900;
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(count_log_prefix("Already tried host"), 1);
    fake_now = 1059;
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(count_log_prefix("Already tried host"), 2);
    EXPECT_EQ(count_log_prefix("tcp_open failed"), 1);
}

TEST_F(LinkSetup, RefusedConnectLeavesNoSocket) {
    brennic_host *host = host_for("127.0.0.1:1");
    host->open = 0;
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(host->sock, -1);
    EXPECT_EQ(host->open, 0);
    EXPECT_EQ(host->last_try, 1000);
    EXPECT_EQ(count_log_prefix("tcp_open failed (127.0.0.1:1) "), 1) << dump_log();
    EXPECT_EQ(log_lines().back().level, kLevelError);
    EXPECT_EQ(count_log_prefix("Secret string"), 0);
}

TEST_F(LinkSetup, OneByteReplyIsAReadFailureNotARefusal) {
    fake_server server(fake_server::greeting::one_byte);
    brennic_host *host = host_for(server.entry());
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(host->sock, -1);
    EXPECT_EQ(host->open, 0);
    EXPECT_FALSE(host->rx);
    EXPECT_EQ(count_log_prefix("encrypt_read failed (" + server.entry() + ") "), 1) << dump_log();
    EXPECT_EQ(count_log_prefix("Response ("), 0);
    EXPECT_EQ(count_log_prefix("-ERR Cannot encrypt"), 0);
}

TEST_F(LinkSetup, SilentServerTimesOut) {
    fake_server server(fake_server::greeting::silent);
    brennic_host *host = host_for(server.entry());
    hooks.handshake_wait_ms = 100;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(open_link(host), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(host->sock, -1);
    EXPECT_EQ(host->open, 0);
    EXPECT_EQ(count_log_prefix("encrypt_read failed (" + server.entry() + ") "), 1) << dump_log();
}

TEST_F(LinkSetup, RefusalIsReportedOnStandardOutput) {
    fake_server server(fake_server::greeting::refuse);
    server.refusal_text("-ERR go away\r\nsecond line\r\n");
    brennic_host *host = host_for(server.entry());
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_link(host), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-DEAD Failed -ERR go away\n");
    EXPECT_EQ(host->sock, -1);
    EXPECT_EQ(host->open, 0);
    EXPECT_FALSE(host->rx || host->tx);
    const int refused = find_log("-ERR Cannot encrypt link for some reason -ERR go away ");
    ASSERT_GE(refused, 0) << dump_log();
    EXPECT_EQ(log_lines()[static_cast<std::size_t>(refused)].level, kLevelError);
    const std::string failed = log_lines().back().text;
    EXPECT_EQ(failed.rfind("encrypt_read failed (" + server.entry() + ") ", 0), 0u) << failed;
}

TEST_F(LinkSetup, LowerCaseKeywordIsARefusal) {
    fake_server server(fake_server::greeting::refuse);
    server.refusal_text("1 +encrypt 42\r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(open_link(host_for(server.entry())), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-DEAD Failed 1 +encrypt 42\n");
}

TEST_F(LinkSetup, MissingNumberIsTakenAsZero) {
    fake_server server(fake_server::greeting::accept_no_number);
    server.set_responder([](const std::string &) { return "-1 +OK fine\r\n"; });
    host_for(server.entry());
    ASSERT_EQ(open_link(&hosts[0]), 1) << dump_log();
    EXPECT_EQ(count_log("Time is () "), 1);
    EXPECT_EQ(count_log("Seed is 0"), 1);
    // Both ends seeded with the bare hash: a request and its reply get through.
    brennic_result *r = nullptr;
    ASSERT_EQ(request_lookup(-1, "bob", &r), 1);
    ASSERT_NE(r->text, nullptr) << dump_log();
    EXPECT_STREQ(r->text, "+OK fine");
    free_result(&r);
}

// In a batch the link holds the request lines: the server sees none until the batch ends,
// then all of them, and answers each.
TEST_F(LinkSetup, ABatchHoldsRequestLinesUntilItEnds) {
    fake_server server;
    server.set_responder(
        [](const std::string &line) { return line.substr(0, line.find(' ')) + " +OK fine\r\n"; });
    ASSERT_EQ(open_link(host_for(server.entry())), 1) << dump_log();
    brennic_batch(1);
    brennic_result *first = nullptr;
    brennic_result *second = nullptr;
    ASSERT_EQ(request_lookup(1, "amy", &first), 1);
    ASSERT_EQ(request_lookup(2, "bob", &second), 1);
    // Windows cannot hold partial segments (set_cork): there the lines leave one by one.
#if !defined(_WIN32)
    EXPECT_EQ(brennic_wait(100), 0) << "nothing reached the server, so nothing came back";
#endif
    brennic_batch(0);
    int answered = 0;
    for (int i = 0; i < 100 && answered < 2; ++i) {
        brennic_result *out = nullptr;
        if (poll_results(&out) == 1)
            ++answered;
        else
            brennic_wait(50);
    }
    EXPECT_EQ(answered, 2) << dump_log();
    EXPECT_STREQ(first->text, "+OK fine");
    free_result(&first);
    free_result(&second);
}

TEST_F(LinkSetup, MissingSecretFileGoesAheadWithHashZero) {
    std::snprintf(secret_path, sizeof secret_path, "/tmp/brennic-no-such-secret-file");
    fake_server server(fake_server::greeting::accept, 7, "");
    ASSERT_EQ(open_link(host_for(server.entry())), 1) << dump_log();
    EXPECT_EQ(count_log("Unable to generate secret file contents ", kLevelError), 1);
    EXPECT_EQ(count_log("Secret string () "), 1);
    EXPECT_EQ(server.handshakes()[0], "1 ENCRYPT NORMAL 0\r\n");
}

TEST_F(LinkSetup, AnUnreadableSecretIsNamedWithItsCause) {
    // A directory there is on every platform: /tmp, or the one TMPDIR names, on POSIX.
    const std::string dir = std::filesystem::temp_directory_path().string();
    std::snprintf(secret_path, sizeof secret_path, "%s", dir.c_str());
    fake_server server(fake_server::greeting::accept, 7, "");
    ASSERT_EQ(open_link(host_for(server.entry())), 1) << dump_log();
    const int cause = find_log("Cannot read secret file (" + dir + "): Is a directory");
    ASSERT_GE(cause, 0) << dump_log();
    EXPECT_EQ(log_lines()[static_cast<std::size_t>(cause)].level, kLevelError);
    EXPECT_EQ(log_lines()[static_cast<std::size_t>(cause) + 1].text,
              "Unable to generate secret file contents ");
    EXPECT_EQ(server.handshakes()[0], "1 ENCRYPT NORMAL 0\r\n");
}

TEST_F(LinkSetup, ANewLinkStartsAFreshKeystream) {
    fake_server server;
    server.set_responder([](const std::string &line) { return "-1 +OK " + line + "\r\n"; });
    host_for(server.entry());
    ASSERT_EQ(open_link(&hosts[0]), 1);
    brennic_result *r = nullptr;
    ASSERT_EQ(request_lookup(-1, "first", &r), 1);
    ASSERT_NE(r->text, nullptr) << dump_log();
    EXPECT_STREQ(r->text, "+OK -1 lookup first");
    free_result(&r);

    // The server starts new generators for the new connection; so must the client.
    mark_host_failed(&hosts[0]);
    fake_now += 60;
    ASSERT_EQ(open_link(&hosts[0]), 1);
    ASSERT_EQ(request_lookup(-1, "second", &r), 1);
    ASSERT_NE(r->text, nullptr) << dump_log();
    EXPECT_STREQ(r->text, "+OK -1 lookup second");
    free_result(&r);
}

} // namespace
} // namespace brennic::test

// The console against a test server that misbehaves: killed in the middle of a reply,
// resetting its connection, refusing the handshake, trickling one byte per millisecond,
// sending junk, zero bytes or a 100 KB line, and a table of five servers of which four are
// dead. Every command must be answered by its own lines, and every run ends on its own.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fault/fault_support.h"

namespace brennic::fault {
namespace {

using e2e::closed_port;
using e2e::run_result;
using e2e::server_process;

std::string local(int port) { return "127.0.0.1:" + std::to_string(port); }

// Input of n check commands for smith.
std::string checks(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "check smith secret1\n";
    return s;
}

std::string repeat(const std::string &line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += line;
    return s;
}

// Stops srv delay_us after request_seen() first holds (a request has arrived), on a thread
// of its own while the console runs: the reply is then on its way and partly sent. join()
// tells whether the server was stopped that way; with no request within 5 s it is not.
class server_killer {
  public:
    server_killer(server_process &srv, int delay_us, std::function<bool()> request_seen)
        : thread_([this, &srv, delay_us, seen = std::move(request_seen)] {
              for (int i = 0; i < 500 && !seen(); ++i)
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              if (!seen()) return;
              std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
              srv.stop();
              killed_ = true;
          }) {}
    bool join() {
        thread_.join();
        return killed_.load();
    }

  private:
    std::atomic<bool> killed_{false};
    std::thread thread_;
};

TEST_F(FaultTest, ServerKilledWhileAReplyIsHalfSent) {
    server_process srv;
    // 4 bytes every 150 ms: the 31-byte reply takes more than a second to leave.
    ASSERT_TRUE(srv.start(server_args({"--chunk", "4", "--pause", "150"})));
    server_killer killer(srv, 400000, [this] { return !events("request").empty(); });
    run_result r = console(srv.address(), "check smith secret1\nlookup smith\nversion\n");
    ASSERT_TRUE(killer.join());
    // The broken link fails the first command; the second finds the host throttled.
    EXPECT_EQ(r.out,
              dead_line("smith") + dead_line("smith") + "+OK brennic version 1.2a\n" + kExiting);
    EXPECT_EQ(events("request"), std::vector<std::string>{"-1 check smith secret1"});
    EXPECT_LT(last_run_ms_, 10000);
}

// Every final line comes twice: the second is a stray, dropped before the next request goes
// out, so each command still prints its own reply.
TEST_F(FaultTest, AFinalLineSentTwiceAnswersNoLaterCommand) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--reply-twice"})));
    run_result r = console(srv.address(), "set amy pw a=1\ndel nobody\ncheck smith secret1\n");
    EXPECT_EQ(r.out,
              "+OK amy created\n-ERR nobody no such user\n" + std::string(kCheckOk) + kExiting);
    EXPECT_EQ(events("request"), (std::vector<std::string>{"-1 set amy pw a=1", "-1 del nobody",
                                                           "-1 check smith secret1"}));
}

TEST_F(FaultTest, ServerKilledMidReplyShowsTheLostLinkInTheDebugEcho) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--chunk", "4", "--pause", "150"})));
    server_killer killer(srv, 400000, [this] { return !events("request").empty(); });
    run_result r = console(srv.address(), "check smith secret1\n", {"-debug"});
    ASSERT_TRUE(killer.join());
    EXPECT_EQ(reply_lines(r.out),
              (std::vector<std::string>{dead_line("smith").substr(0, dead_line("smith").size() - 1),
                                        "+OK exiting"}));
    EXPECT_EQ(count_lines_starting(r.out, "Error: Lost connection to host " + srv.address()), 1)
        << r.out;
    EXPECT_EQ(count_lines_equal(r.out, "Info: free result, retry..."), 1) << r.out;
}

// A search whose link breaks after its first +DATA line has been printed still ends on a
// line of its own: the failure text, so a reader waiting for the search's last line does not
// take the next command's reply for it.
TEST_F(FaultTest, SearchCutShortByALostLinkEndsWithTheFailureText) {
    server_process srv;
    // 10 bytes every 100 ms: the first +DATA line (40 bytes) is complete after about 0.3 s,
    // the whole reply (112 bytes) only after about 1.1 s.
    ASSERT_TRUE(srv.start(server_args({"--chunk", "10", "--pause", "100"})));
    server_killer killer(srv, 650000, [this] { return !events("request").empty(); });
    run_result r = console(srv.address(), "search example\nversion\n");
    ASSERT_TRUE(killer.join());
    EXPECT_EQ(r.out, std::string("+DATA jones mail=jones@example.org\n") + kFailureText + "\n" +
                         "+OK brennic version 1.2a\n" + kExiting);
}

TEST_F(FaultTest, ConnectionResetWithOneServer) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--reset-at", "2"})));
    run_result r = console(srv.address(), checks(3) + "lookup smith\n");
    // Each reset ends a link that was up: the request is sent again on a new link at once
    // (the throttle follows failed setups only), which answers it and is reset in turn.
    EXPECT_EQ(r.out, std::string(kCheckOk) + kCheckOk + kCheckOk + kLookupOk + kExiting);
    EXPECT_EQ(events("request").size(), 7u);
    EXPECT_EQ(events("connect").size(), 4u);
}

TEST_F(FaultTest, ConnectionResetFailsOverToTheNextServer) {
    server_process first, second;
    ASSERT_TRUE(first.start(server_args({"--reset-at", "2"}, "1")));
    ASSERT_TRUE(second.start(server_args({}, "2")));
    run_result r = console(first.address() + "," + second.address(),
                           checks(3) + "lookup smith\nsearch smith\n");
    EXPECT_EQ(r.out,
              std::string(kCheckOk) + kCheckOk + kCheckOk + kLookupOk + kSearchOk + kExiting);
    // The reset request is sent again to the second server, which keeps the rest.
    EXPECT_EQ(events("request", "1").size(), 2u);
    EXPECT_EQ(events("request", "2"),
              (std::vector<std::string>{"-1 check smith secret1", "-1 check smith secret1",
                                        "-1 lookup smith", "-1 search smith"}));
}

TEST_F(FaultTest, HandshakeRefused) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--refuse-handshake"})));
    run_result r = console(srv.address(), "check smith secret1\nlookup jones\nset smith pw a=1\n"
                                          "search smith\ndel smith\n");
    // The refusal is reported once, at start-up; every request then fails on a line of its
    // own: check and lookup in the "-DEAD" form, set, search and del with the failure text.
    EXPECT_EQ(r.out, std::string("-DEAD Failed 1 -ERR handshake refused\n") + dead_line("smith") +
                         dead_line("jones") + kFailureText + "\n" + kFailureText + "\n" +
                         kFailureText + "\n" + kExiting);
    EXPECT_EQ(events("connect").size(), 1u);
    EXPECT_TRUE(events("request").empty());
}

TEST_F(FaultTest, HandshakeAnsweredWithOneByteIsAReadFailureNotARefusal) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--handshake-one-byte"})));
    run_result r = console(srv.address(), "check smith secret1\n", {"-debug"});
    EXPECT_EQ(reply_lines(r.out),
              (std::vector<std::string>{dead_line("smith").substr(0, dead_line("smith").size() - 1),
                                        "+OK exiting"}));
    EXPECT_EQ(count_lines_starting(r.out, "-DEAD Failed"), 0);
    EXPECT_EQ(count_lines_starting(r.out, "Error: encrypt_read failed (" + srv.address() + ")"), 1)
        << r.out;
}

TEST_F(FaultTest, OneBytePerMillisecond) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--byte-per-ms"})));
    run_result r = console(srv.address(), "check smith secret1\nlookup smith\nsearch smith\n"
                                          "check jones wrong\nversion\n");
    // lookup's +DATA lines are read and dropped; search prints all of its lines.
    EXPECT_EQ(r.out, std::string(kCheckOk) + kLookupOk + kSearchOk +
                         "-ERR jones password rejected\n+OK brennic version 1.2a\n" + kExiting);
    EXPECT_EQ(events("connect").size(), 1u) << "the slow link is never given up";
    EXPECT_LT(last_run_ms_, 15000);
}

TEST_F(FaultTest, GarbageAfterTheHandshakeIsDroppedAndTheReplyStillArrives) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--garbage", "500"})));
    run_result r = console(srv.address(), "check smith secret1\nlookup smith\n", {"-debug"});
    EXPECT_EQ(reply_lines(r.out), (std::vector<std::string>{
                                      "+OK smith password accepted",
                                      "+OK smith mail=smith@example.org dept=ops", "+OK exiting"}));
    // One junk line per link, dropped as a reply nobody waits for; its quote is bounded.
    ASSERT_EQ(count_lines_starting(r.out, "Error: Unknown response "), 1) << r.out;
    for (const std::string &l : lines_of(r.out)) {
        if (l.rfind("Error: Unknown response ", 0) == 0) {
            EXPECT_LE(l.size(), std::string("Error: Unknown response ").size() + 100);
        }
    }
}

TEST_F(FaultTest, GarbageAfterTheHandshakeWithoutDebugPrintsOnlyReplies) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--garbage", "3000"})));
    run_result r = console(srv.address(), checks(3));
    EXPECT_EQ(r.out, repeat(kCheckOk, 3) + kExiting);
}

TEST_F(FaultTest, ZeroBytesInsideAReplyLine) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--nul-in-reply"})));
    run_result r = console(srv.address(), "check smith secret1\nsearch smith\nlookup smith\n");
    // A reply line ends at its first zero byte; the link stays in step and usable.
    EXPECT_EQ(r.out, std::string(kCheckOk) + "+DATA nul\n" + kSearchOk + kLookupOk + kExiting);
    EXPECT_EQ(events("connect").size(), 1u);
}

TEST_F(FaultTest, HundredKilobyteLineIsThrownAwayInPieces) {
    constexpr int kOverlong = 100000;
    constexpr int kLineMax = 19990; // bytes gathered before an unfinished line is dropped
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--overlong", std::to_string(kOverlong)})));
    run_result r =
        console(srv.address(), "check smith secret1\nsearch smith\nlookup smith\n", {"-debug"});
    // The overlong +DATA line ahead of every reply reaches the search cut: the text of its
    // first 19900 characters, after "-1 ".
    EXPECT_EQ(reply_lines(r.out),
              (std::vector<std::string>{
                  "+OK smith password accepted", "+DATA " + std::string(19900 - 3 - 6, 'x'),
                  "+DATA smith mail=smith@example.org dept=ops", "+OK search 1 found",
                  "+OK smith mail=smith@example.org dept=ops", "+OK exiting"}));
    // "-1 +DATA " and CR LF around the 100000 bytes; the first full buffer is cut off as the
    // line, every later one thrown away, and the rest up to the LF goes with them.
    const int line_bytes = kOverlong + 9 + 2;
    const int drops_per_reply = line_bytes / kLineMax;
    EXPECT_EQ(count_lines_equal(r.out, "Error: Throwing away incoming data, line too long"),
              3 * drops_per_reply)
        << "three replies, each behind one overlong line";
    EXPECT_EQ(count_lines_starting(r.out, "Error: Unknown response"), 0);
    EXPECT_EQ(events("connect").size(), 1u) << "the link survives the overlong lines";
}

TEST_F(FaultTest, DirectoryDataCannotForgeAReplyThroughALineTooLong) {
    // Two users whose attributes make their search lines just longer than the receive limit,
    // so that what follows the first 19990 bytes of each line is shaped like a reply: were
    // it read as a line, the search would end on the first and the next check, whatever
    // its password, would be answered by the second. The lines reach the search cut.
    constexpr int kLineMax = 19990;
    auto user = [&](const std::string &name, const std::string &forged) {
        const std::string head = "-1 +DATA " + name + " ";
        return name + " pw " + std::string(kLineMax - head.size(), 'a') + forged + "\n";
    };
    const std::string users = dir_.write(
        "forge-users.txt", std::string(kUsers) + user("mallory", "-1 +OK search 0 found") +
                               user("mallory2", "-1 +OK smith password accepted"));
    server_process srv;
    ASSERT_TRUE(srv.start({"--users", users, "--secret", secret_, "--quiet"}));
    // A lookup whose final line is too long completes with the line cut, instead of
    // waiting for a reply that never comes.
    run_result r = console(srv.address(), "search mallory\ncheck smith WRONG\n"
                                          "check smith secret1\nlookup mallory\n");
    EXPECT_EQ(r.out, "+DATA mallory " + std::string(19900 - 3 - 14, 'a') + "\n" +
                         "+DATA mallory2 " + std::string(19900 - 3 - 15, 'a') + "\n" +
                         "+OK search 2 found\n"
                         "-ERR smith password rejected\n" +
                         kCheckOk + "+OK mallory " + std::string(19900 - 3 - 12, 'a') + "\n" +
                         kExiting);
}

TEST_F(FaultTest, HundredKilobyteLineWithoutDebug) {
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--overlong", "100000"})));
    run_result r = console(srv.address(), checks(4));
    EXPECT_EQ(r.out, repeat(kCheckOk, 4) + kExiting);
}

TEST_F(FaultTest, FiveServersOfWhichFourAreDead) {
    server_process live;
    ASSERT_TRUE(live.start(server_args({})));
    std::string hosts;
    for (int i = 0; i < 4; ++i)
        hosts += local(closed_port()) + ",";
    hosts += live.address();
    run_result r =
        console(hosts, checks(2) + "lookup smith\nsearch smith\ndel jones\n", {"-debug"});
    EXPECT_EQ(reply_lines(r.out), (std::vector<std::string>{
                                      "+OK smith password accepted", "+OK smith password accepted",
                                      "+OK smith mail=smith@example.org dept=ops",
                                      "+DATA smith mail=smith@example.org dept=ops",
                                      "+OK search 1 found", "+OK jones deleted", "+OK exiting"}));
    // Each dead server costs one connection attempt at start-up and none afterwards.
    EXPECT_EQ(count_lines_starting(r.out, "Error: tcp_open failed (127.0.0.1:"), 4) << r.out;
    // The first request meets the first dead host twice (once as the current host, once in
    // the failover pass) and each other dead host once; later requests go to the live one.
    EXPECT_EQ(count_lines_starting(r.out, "Info: Already tried host in the last 60 seconds."), 5);
    EXPECT_EQ(count_lines_starting(r.out, "Info: send_cmd failed, trying other hosts NOW"), 1);
    EXPECT_EQ(events("request").size(), 5u);
    EXPECT_LT(last_run_ms_, 10000);
}

TEST_F(FaultTest, FiveServersOfWhichFourAreDeadWithoutDebug) {
    server_process live;
    ASSERT_TRUE(live.start(server_args({})));
    std::string hosts = local(closed_port()) + " " + local(closed_port()) + " " + live.address() +
                        " " + local(closed_port()) + " " + local(closed_port());
    run_result r = console(hosts, checks(5));
    EXPECT_EQ(r.out, repeat(kCheckOk, 5) + kExiting);
}

TEST_F(FaultTest, ServerThatExitsAfterItsFirstRequestLeavesTheOthersToFailOver) {
    server_process first, second;
    ASSERT_TRUE(first.start(server_args({"--die-after", "1"}, "1")));
    ASSERT_TRUE(second.start(server_args({}, "2")));
    run_result r = console(first.address() + "," + second.address(), checks(4));
    EXPECT_EQ(r.out, repeat(kCheckOk, 4) + kExiting);
    EXPECT_EQ(events("request", "1").size(), 2u);
    EXPECT_EQ(events("request", "2").size(), 3u);
}

} // namespace
} // namespace brennic::fault

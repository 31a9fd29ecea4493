// The shared library used from a C program against the test server.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"

using brennic::e2e::run_result;
using brennic::e2e::server_process;
using brennic::e2e::temp_dir;

namespace {

class Api : public ::testing::Test {
  protected:
    void SetUp() override {
        users_ = dir_.write("users.txt", "smith secret1 mail=smith@example.org dept=ops\n"
                                         "jones pw2 mail=jones@example.org dept=dev\n");
        secret_ = dir_.write("secret.txt", "api secret\n");
    }
    // hosts_before goes ahead of the server in the host list.
    run_result drive(const std::vector<std::string> &server_extra, const std::string &scenario,
                     const std::string &hosts_before = "") {
        std::vector<std::string> args = {"--users", users_, "--secret", secret_};
        args.insert(args.end(), server_extra.begin(), server_extra.end());
        EXPECT_TRUE(srv_.start(args));
        run_result r = brennic::e2e::run_program(
            {BRENNIC_API_DRIVER_PATH, hosts_before + srv_.address(), secret_, scenario}, "",
            dir_.path(), 20000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r;
    }
    temp_dir dir_;
    server_process srv_;
    std::string users_, secret_;
};

TEST_F(Api, TwoPendingRequestsWithOneIdGoNewestFirst) {
    // The server holds the first reply until both requests are in, then answers the second
    // request first; each reply goes to the newest record still pending with the id that
    // was sent before the reply came. (A reply that came before the second request went out
    // could only be the first one's.)
    run_result r = drive({"--hold", "1"}, "same-id");
    EXPECT_EQ(r.out, "init 1\n"
                     "sent 1 1\n"
                     "collected second ok=1 text=+OK jones password accepted\n"
                     "collected first ok=1 text=+OK smith password accepted\n"
                     "freed 1\n");
}

TEST_F(Api, AsynchronousRequestCollectedByPoll) {
    run_result r = drive({"--chunk", "5", "--pause", "2"}, "async");
    EXPECT_EQ(r.out, "init 1\n"
                     "returned 1 id=7 sent=1 text=(null)\n"
                     "collected same=1 id=7 ok=1 user=smith "
                     "text=+OK smith mail=smith@example.org dept=ops\n"
                     "again 0\n"
                     "free 1\n"
                     "free null 0\n");
}

TEST_F(Api, AsynchronousSearchCallsBackForEveryLine) {
    run_result r = drive({}, "search");
    EXPECT_EQ(r.out, "init 1\n"
                     "line 3 +DATA jones mail=jones@example.org dept=dev\n"
                     "line 3 +DATA smith mail=smith@example.org dept=ops\n"
                     "line 3 +OK search 2 found\n"
                     "collected same=1 ok=1 user=search text=+OK search 2 found\n");
}

TEST_F(Api, ReplyWithAnUnknownIdIsDropped) {
    run_result r = drive({"--unknown-id"}, "unmatched");
    EXPECT_EQ(r.out, "init 1\ncollected 0\nstill pending text=(null)\n");
    EXPECT_NE(r.err.find("Unknown response 1005 +OK smith password accepted"), std::string::npos)
        << r.err;
}

// Asynchronous lookups 1 to 5 outstanding, then a blocking check. Whether the check's reply
// comes after theirs (the wait collects them on the way) or first, every lookup comes back
// from brennic_poll exactly once, in the order its reply came, with its own text.
TEST_F(Api, AsynchronousResultsSurviveABlockingRequest) {
    const std::string lookups =
        "collected 1 own=1 failed=0 text=+OK smith mail=smith@example.org dept=ops\n"
        "collected 2 own=1 failed=0 text=+OK jones mail=jones@example.org dept=dev\n"
        "collected 3 own=1 failed=0 text=+OK smith mail=smith@example.org dept=ops\n"
        "collected 4 own=1 failed=0 text=+OK jones mail=jones@example.org dept=dev\n"
        "collected 5 own=1 failed=0 text=+OK smith mail=smith@example.org dept=ops\n"
        "extra 0\n";
    for (const bool check_first : {false, true}) {
        SCOPED_TRACE(check_first ? "check answered first" : "check answered last");
        srv_.stop();
        run_result r = drive(check_first ? std::vector<std::string>{"--hold", "5"}
                                         : std::vector<std::string>{},
                             "mixed");
        EXPECT_EQ(r.out,
                  "init 1\nblocking 1\nblocking text=+OK smith password accepted\n" + lookups);
        // The wait still says what it collected for other ids.
        EXPECT_EQ(r.err.find("Ignoring response id -1 1") != std::string::npos, !check_first)
            << r.err;
    }
}

// Failed results come back newest first.
std::string failed_lookups() {
    std::string s;
    for (int id = 5; id >= 1; --id)
        s += "collected " + std::to_string(id) +
             " own=1 failed=1 text=-ERR brenniclib failed while talking to brennic server\n";
    return s + "extra 0\n";
}

// A second init with fewer hosts ends the dropped host's link: its pending lookups come back
// failed, once each, and its socket is closed.
TEST_F(Api, ASecondInitWithFewerHostsHandsBackTheDroppedHostsResults) {
    const std::string unreachable =
        "127.0.0.1:" + std::to_string(brennic::e2e::closed_port()) + ",";
    run_result r = drive({"--hold", "10"}, "fewer-hosts", unreachable);
    EXPECT_EQ(r.out, "init 1\non host 1\ndescriptors held 1\ninit 1\ndescriptors left 0\n" +
                         failed_lookups());
}

// Lookups pending at brennic_close come back failed, once each, after the next init.
TEST_F(Api, ResultsPendingAtCloseComeBackOnceAfterTheNextInit) {
    run_result r = drive({"--hold", "10"}, "close-pending");
    EXPECT_EQ(r.out, "init 1\nclose 1\ninit 1\n" + failed_lookups());
}

// A server that reads nothing for a second after the handshake while 10 MB of requests
// are written to it: the sends wait for room instead of coming up short, so the live link
// is not taken for a broken one, and every request is answered.
TEST_F(Api, SlowReadingServerDoesNotFailTheLink) {
    run_result r = drive({"--stall-ms", "1000"}, "busy-link");
    EXPECT_EQ(r.out, "init 1\nsent 600\ncollected 600 ok 600 failed 0\n");
}

TEST_F(Api, WaitReturnsWhenALinkHasBytesAndAtOnceWithoutALink) {
    run_result r = drive({"--reply-delay-ms", "300"}, "wait");
    EXPECT_EQ(r.out, "init 1\nsent 1\nat once 0\nwoken 1\ncollected 1\ndrained 0\nclosed 0\n"
                     "returned early 1\n");
}

} // namespace

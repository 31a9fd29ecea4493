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
    run_result drive(const std::vector<std::string> &server_extra, const std::string &scenario) {
        std::vector<std::string> args = {"--users", users_, "--secret", secret_};
        args.insert(args.end(), server_extra.begin(), server_extra.end());
        EXPECT_TRUE(srv_.start(args));
        run_result r = brennic::e2e::run_program(
            {BRENNIC_API_DRIVER_PATH, srv_.address(), secret_, scenario}, "", dir_.path(), 20000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r;
    }
    temp_dir dir_;
    server_process srv_;
    std::string users_, secret_;
};

TEST_F(Api, TwoPendingRequestsWithOneIdGoNewestFirst) {
    run_result r = drive({}, "same-id");
    // The server answers in order; each reply goes to the newest record still pending with
    // the id, so the record sent last takes the first reply.
    EXPECT_EQ(r.out, "init 1\n"
                     "sent 1 1\n"
                     "collected second ok=1 text=+OK smith password accepted\n"
                     "collected first ok=1 text=+OK jones password accepted\n"
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

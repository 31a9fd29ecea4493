// A server that is down at start-up and comes back later, and a link that breaks: the
// library, linked in, with its clock replaced, so the 60-second rule between link setups is
// crossed without waiting. The test server plays the directory server.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brennic.h"
#include "lib/state.h"
#include "tests/fault/fault_support.h"
#include "tests/support/log_capture.h"

namespace brennic::fault {
namespace {

using e2e::closed_port;
using e2e::server_process;

constexpr std::int64_t kStart = 1700000000;
std::int64_t fake_now = kStart;
std::int64_t read_fake_now() { return fake_now; }

using brennic::test::capture_log;
using brennic::test::count_log_prefix;
using brennic::test::dump_log;
using brennic::test::log_lines;

struct reply {
    int result;
    int ok;
    std::string text;
};

// A blocking check of smith, the record released afterwards.
reply check_smith() {
    brennic_result *r = nullptr;
    reply out{brennic_check(-1, "smith", "secret1", &r), 0, "(no record)"};
    if (r != nullptr) {
        out.ok = r->ok;
        out.text = r->text != nullptr ? r->text : "(no text)";
    }
    brennic_free(&r);
    EXPECT_EQ(rlist, nullptr) << "nothing stays pending after a blocking request";
    return out;
}

class Recovery : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
        reset_library();
        log_lines().clear();
        fake_now = kStart;
        hooks.now = read_fake_now;
    }
    void TearDown() override {
        brennic_close();
        reset_library();
    }
};

TEST_F(Recovery, ServerThatComesBackIsUsedOnceTheThrottleHasPassed) {
    const int port = closed_port();
    const std::string entry = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(brennic_init(entry.c_str(), secret_.c_str(), capture_log), 1);
    EXPECT_EQ(count_log_prefix("tcp_open failed (" + entry + ")"), 1);

    reply r = check_smith();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ok, 0);
    EXPECT_EQ(r.text, kFailureText);

    // The server comes back on the same port.
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--port", std::to_string(port)})));
    ASSERT_EQ(srv.port(), port);

    // Within 60 seconds of the last attempt no connection is even tried.
    fake_now = kStart + 59;
    log_lines().clear();
    r = check_smith();
    EXPECT_EQ(r.text, kFailureText);
    EXPECT_GE(count_log_prefix("Already tried host in the last 60 seconds. (" + entry + ")"), 1);
    EXPECT_EQ(count_log_prefix("tcp_open failed"), 0);
    EXPECT_TRUE(events("connect").empty()) << "a throttled host costs no connection";

    // At 60 seconds the next request sets the link up again and is answered.
    fake_now = kStart + 60;
    log_lines().clear();
    r = check_smith();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.ok, 1) << dump_log();
    EXPECT_EQ(r.text, "+OK smith password accepted");
    EXPECT_EQ(count_log_prefix("free result, retry..."), 0);
    EXPECT_EQ(events("connect").size(), 1u);

    // The link stays up for the requests that follow, whatever the clock says.
    fake_now = kStart + 61;
    r = check_smith();
    EXPECT_EQ(r.text, "+OK smith password accepted");
    EXPECT_EQ(events("connect").size(), 1u);
    EXPECT_EQ(events("request").size(), 2u);
}

TEST_F(Recovery, LinkLostAfterItWasUpIsSetUpAgainAtOnce) {
    server_process srv;
    // Each connection answers one request and closes when the second arrives: a server that
    // ends idle or used links. The throttle spares failed setups only, not live hosts.
    ASSERT_TRUE(srv.start(server_args({"--close-after", "1"})));
    ASSERT_EQ(brennic_init(srv.address().c_str(), secret_.c_str(), capture_log), 1);
    EXPECT_EQ(check_smith().text, "+OK smith password accepted");

    for (int second : {10, 11, 12}) {
        fake_now = kStart + second;
        EXPECT_EQ(check_smith().text, "+OK smith password accepted") << second << dump_log();
    }
    EXPECT_EQ(count_log_prefix("Lost connection to host " + srv.address()), 3);
    EXPECT_EQ(count_log_prefix("Already tried host"), 0);
    EXPECT_EQ(events("connect").size(), 4u);
}

TEST_F(Recovery, ClockSetBackKeepsTheHostThrottled) {
    const int port = closed_port();
    const std::string entry = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(brennic_init(entry.c_str(), secret_.c_str(), capture_log), 1);
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--port", std::to_string(port)})));

    fake_now = kStart - 3600;
    EXPECT_EQ(check_smith().text, kFailureText);
    fake_now = kStart + 59;
    EXPECT_EQ(check_smith().text, kFailureText);
    EXPECT_TRUE(events("connect").empty());
    fake_now = kStart + 60;
    EXPECT_EQ(check_smith().text, "+OK smith password accepted");
}

TEST_F(Recovery, AsynchronousRequestToAServerThatCameBack) {
    const int port = closed_port();
    const std::string entry = "127.0.0.1:" + std::to_string(port);
    ASSERT_EQ(brennic_init(entry.c_str(), secret_.c_str(), capture_log), 1);
    server_process srv;
    ASSERT_TRUE(srv.start(server_args({"--port", std::to_string(port)})));
    fake_now = kStart + 60;

    brennic_result *r = nullptr;
    ASSERT_EQ(brennic_lookup(7, "smith", &r), 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->text, nullptr);
    brennic_result *got = nullptr;
    int polls = 0;
    while (brennic_poll(&got) == 0 && polls < 3000) {
        ++polls;
        wait_open_links(5);
    }
    ASSERT_EQ(got, r) << dump_log();
    ASSERT_NE(r->text, nullptr);
    EXPECT_STREQ(r->text, "+OK smith mail=smith@example.org dept=ops");
    EXPECT_EQ(r->ok, 1);
    brennic_free(&r);
    EXPECT_EQ(rlist, nullptr);
}

} // namespace
} // namespace brennic::fault

// Request dispatch and failover.
#include <cstdlib>

#include "net/tcp.h"
#include "tests/unit/lib/support.h"

namespace brennic::test {
namespace {

std::int64_t fake_now = 5000;
std::int64_t fake_clock() { return fake_now; }

class Dispatch : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        fake_now = 5000;
        hooks.now = fake_clock;
    }
    void TearDown() override {
        for (brennic_result *&r : records)
            free_result(&r);
        LibraryTest::TearDown();
    }
    brennic_result *record() {
        records.push_back(new_result());
        return records.back();
    }
    // An entry nothing listens on: its connect is refused at once.
    static void unreachable(int index) {
        std::snprintf(hosts[index].name, sizeof hosts[index].name, "127.0.0.1:1");
    }
    std::vector<brennic_result *> records;
};

TEST_F(Dispatch, SendsOneEncipheredLineToTheCurrentHost) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = record();
    send_cmd(-1, "bob", "check bob pw", r);
    EXPECT_EQ(pair.received(), "-1 check bob pw\r\n");
    EXPECT_EQ(rlist, r);
    EXPECT_EQ(r->host, &hosts[0]);
    EXPECT_EQ(r->sent, 1);
    EXPECT_EQ(r->id, -1);
    EXPECT_EQ(r->failed, 0);
    EXPECT_STREQ(r->user, "bob");
    EXPECT_EQ(current_host, 0);
    EXPECT_EQ(count_log("Send request to host 0 pair0, user (bob) ", kLevelInfo), 1) << dump_log();
    // Logged as plain text, sent enciphered: CR and LF went through the cipher too.
    EXPECT_EQ(count_log("Sending to host === (-1 check bob pw  )"), 1);
    EXPECT_EQ(count_log_prefix("socket_write len=(17) r=(17) lasterror=("), 1);
    EXPECT_EQ(count_log_prefix("send_cmd failed"), 0);
}

TEST_F(Dispatch, UserIsLoggedAsItsFirst100Characters) {
    host_count = 1;
    paired_host pair(0);
    const std::string user(150, 'u');
    send_cmd(3, user.c_str(), "lookup x", record());
    EXPECT_EQ(count_log("Send request to host 0 pair0, user (" + std::string(100, 'u') + ") "), 1);
    EXPECT_EQ(std::string(records[0]->user), user) << "the record keeps the whole name";
}

TEST_F(Dispatch, FailoverTriesTheFailedHostAgainAndStaysOnTheTaker) {
    host_count = 2;
    unreachable(0);
    paired_host pair(1);
    brennic_result *r = record();
    send_cmd(-1, "bob", "lookup bob", r);
    EXPECT_EQ(r->host, &hosts[1]);
    EXPECT_EQ(current_host, 1);
    EXPECT_EQ(r->failed, 0);
    EXPECT_EQ(pair.received(), "-1 lookup bob\r\n");
    EXPECT_EQ(count_log("send_cmd_host, not currently open (127.0.0.1:1) "), 2) << dump_log();
    EXPECT_EQ(count_log_prefix("tcp_open failed (127.0.0.1:1)"), 1);
    EXPECT_EQ(count_log("Already tried host in the last 60 seconds. (127.0.0.1:1) "), 1);
    EXPECT_EQ(count_log("send_cmd_host, open failed to (127.0.0.1:1) "), 2);
    EXPECT_EQ(count_log("send_cmd failed, trying other hosts NOW "), 1);

    // The next request goes straight to host 1.
    clear_log();
    send_cmd(-1, "amy", "lookup amy", record());
    EXPECT_EQ(count_log("Send request to host 1 pair1, user (amy) "), 1) << dump_log();
    EXPECT_EQ(count_log_prefix("send_cmd failed"), 0);
}

TEST_F(Dispatch, FailoverPassStartsAtTheFirstHost) {
    host_count = 3;
    paired_host pair0(0);
    paired_host pair1(1);
    unreachable(2);
    current_host = 2;
    brennic_result *r = record();
    send_cmd(4, "bob", "del bob", r);
    EXPECT_EQ(r->host, &hosts[0]);
    EXPECT_EQ(current_host, 0);
    EXPECT_EQ(pair0.received(), "4 del bob\r\n");
    EXPECT_EQ(pair1.received(), "");
}

TEST_F(Dispatch, WhenEveryHostFailsTheRecordStaysLinkedOnTheLastHostFlagged) {
    host_count = 2;
    unreachable(0);
    unreachable(1);
    current_host = 1;
    brennic_result *r = record();
    send_cmd(-1, "bob", "lookup bob", r);
    EXPECT_EQ(current_host, 0);
    EXPECT_EQ(rlist, r);
    EXPECT_EQ(r->host, &hosts[1]);
    // Flagged at once: its host may leave the table or open a new link before the next
    // poll, and then nothing would ever find the request that no host took.
    EXPECT_EQ(r->failed, 1);
}

TEST_F(Dispatch, ShortWriteFlagsTheHostsRecordsAndADeliveryClearsTheFlag) {
    host_count = 2;
    paired_host pair0(0);
    paired_host pair1(1);
    brennic_result *older = record();
    send_cmd(1, "amy", "lookup amy", older);
    ASSERT_EQ(older->host, &hosts[0]);
    // The socket goes away under an open link, as after brennic_close.
    close_socket(hosts[0].sock);
    hosts[0].sock = -1;

    brennic_result *r = record();
    send_cmd(2, "bob", "lookup bob", r);
    EXPECT_EQ(count_log_prefix("Write failed "), 1) << dump_log();
    EXPECT_EQ(count_log_prefix("AfterResult "), 1);
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_EQ(older->failed, 1);
    EXPECT_EQ(r->host, &hosts[1]);
    EXPECT_EQ(r->failed, 0) << "delivered by the failover pass";
    EXPECT_EQ(current_host, 1);
    EXPECT_EQ(pair1.received(), "2 lookup bob\r\n");
}

TEST_F(Dispatch, WriteAfterCloseReconnectsAtOnce) {
    // The link was up: losing it does not throttle the host, whose setup never failed.
    fake_server server;
    const std::string path = secret_file();
    ASSERT_EQ(init_library(server.entry().c_str(), path.c_str(), capture_log), 1);
    ASSERT_EQ(hosts[0].open, 1) << dump_log();
    close_library();

    fake_now += 1;
    brennic_result *r = record();
    send_cmd(1, "amy", "lookup amy", r);
    EXPECT_EQ(hosts[0].open, 1) << dump_log();
    EXPECT_EQ(r->failed, 0) << "written on the new link";
    EXPECT_EQ(count_log_prefix("Already tried"), 0);
    ASSERT_TRUE(server.wait_requests(1));
    EXPECT_EQ(server.requests()[0], "1 lookup amy");
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(Dispatch, NoHostConfiguredFailsTheRecordAtOnce) {
    brennic_result *r = record();
    send_cmd(-1, "bob", "lookup bob", r);
    EXPECT_EQ(rlist, r);
    EXPECT_EQ(r->failed, 1);
    EXPECT_EQ(r->host, nullptr);
    EXPECT_EQ(count_log_prefix("Send request"), 0);
    EXPECT_EQ(count_log_prefix("Already tried"), 0);
    EXPECT_EQ(count_log_prefix("tcp_open"), 0);
}

TEST_F(Dispatch, AnOpenHostWithoutGeneratorsIsSetUpAnew) {
    host_count = 1;
    paired_host pair(0);
    hosts[0].tx.reset();
    brennic_result *r = record();
    send_cmd(-1, "bob", "lookup bob", r);
    EXPECT_EQ(count_log("send_cmd_host, not currently open (pair0) "), 2) << dump_log();
    EXPECT_EQ(hosts[0].sock, -1);
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_EQ(pair.received(), "") << "nothing is written without the cipher";
}

} // namespace
} // namespace brennic::test

// The host table: splitting of the host list, limits, a second init and close.
#include <string>

#include "tests/unit/lib/support.h"

namespace brennic::test {
namespace {

// A clock at which every record's setup has just failed: link setups are refused before any
// network call, so only the table is exercised.
std::int64_t early_clock() { return 30; }

class HostTable : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        hooks.now = early_clock;
        for (brennic_host &h : hosts) {
            h.setup_failed = 1;
            h.failed_at = early_clock();
        }
    }
    static constexpr const char *kThrottled = "Already tried host in the last 60 seconds. (";
};

TEST_F(HostTable, SplitsAtRunsOfCommasAndSpaces) {
    EXPECT_EQ(init_library(" alpha, beta,,gamma ", "", capture_log), 1);
    EXPECT_EQ(host_count, 3);
    EXPECT_STREQ(hosts[0].name, "alpha");
    EXPECT_STREQ(hosts[1].name, "beta");
    EXPECT_STREQ(hosts[2].name, "gamma");
    // All entries are found before the first link setup, which then run in order.
    const int a = find_log("Found host (alpha)");
    const int g = find_log("Found host (gamma)");
    const int first_setup = find_log(std::string(kThrottled) + "alpha) ");
    const int last_setup = find_log(std::string(kThrottled) + "gamma) ");
    ASSERT_GE(a, 0) << dump_log();
    EXPECT_LT(a, find_log("Found host (beta)"));
    EXPECT_LT(g, first_setup);
    EXPECT_LT(first_setup, find_log(std::string(kThrottled) + "beta) "));
    EXPECT_LT(find_log(std::string(kThrottled) + "beta) "), last_setup);
}

TEST_F(HostTable, OnlyDelimitersOrEmptyGiveNoHost) {
    EXPECT_EQ(init_library(" ,, ", "", capture_log), 1);
    EXPECT_EQ(host_count, 0);
    EXPECT_EQ(init_library("", "", capture_log), 1);
    EXPECT_EQ(host_count, 0);
    EXPECT_EQ(count_log_prefix("Found host"), 0);
    EXPECT_EQ(count_log_prefix("Already tried"), 0);
}

TEST_F(HostTable, KeepsTheFirstFiveHosts) {
    init_library("h1 h2 h3 h4 h5 h6 h7", "", capture_log);
    EXPECT_EQ(host_count, 5);
    EXPECT_STREQ(hosts[4].name, "h5");
    EXPECT_EQ(count_log_prefix("Found host"), 5);
    EXPECT_EQ(count_log_prefix(kThrottled), 5);
    EXPECT_EQ(count_log("Found host (h6)"), 0);
}

TEST_F(HostTable, EntriesAreStoredAsTheirFirst200Characters) {
    const std::string at_limit(200, 'a');
    const std::string long_entry(250, 'b');
    init_library((at_limit + "," + long_entry).c_str(), "", capture_log);
    EXPECT_EQ(std::string(hosts[0].name), at_limit);
    EXPECT_EQ(std::string(hosts[1].name), std::string(200, 'b'));
    EXPECT_EQ(count_log("Found host (" + std::string(200, 'b') + ")"), 1);
}

TEST_F(HostTable, OnlyTheFirst999CharactersOfTheListAreSplit) {
    // The second entry starts at offset 996, so only "abc" of it lies within the cut.
    const std::string list = std::string(995, 'x') + " abcdefgh" + std::string(194, ' ') + "zz";
    ASSERT_EQ(list.size(), 1200u);
    init_library(list.c_str(), "", capture_log);
    EXPECT_EQ(host_count, 2);
    EXPECT_STREQ(hosts[1].name, "abc");
}

TEST_F(HostTable, SecretPathIsKeptUpTo999Characters) {
    init_library("", std::string(1200, 'p').c_str(), capture_log);
    EXPECT_EQ(std::string(secret_path), std::string(999, 'p'));
    init_library("", std::string(150, 'q').c_str(), capture_log);
    EXPECT_EQ(std::string(secret_path), std::string(150, 'q'));
}

// A failed setup holds off the server that failed, not the table record: a second init that
// puts another server into the record tries it at once.
TEST_F(HostTable, TheHoldOffFollowsTheServerNotTheRecord) {
    init_library("127.0.0.1:1", "", capture_log);
    EXPECT_EQ(count_log(std::string(kThrottled) + "127.0.0.1:1) "), 1);
    init_library("127.0.0.1:1", "", capture_log);
    EXPECT_EQ(count_log(std::string(kThrottled) + "127.0.0.1:1) "), 2);
    init_library("127.0.0.1:2", "", capture_log);
    EXPECT_EQ(count_log(std::string(kThrottled) + "127.0.0.1:2) "), 0);
    EXPECT_EQ(count_log_prefix("tcp_open failed (127.0.0.1:2)"), 1) << dump_log();
}

TEST_F(HostTable, CloseClosesSocketsAndLeavesOpenSet) {
    init_library("a b", "", capture_log);
    paired_host pair(0);
    EXPECT_EQ(close_library(), 1);
    EXPECT_EQ(hosts[0].sock, -1);
    EXPECT_EQ(hosts[0].open, 1);
    EXPECT_EQ(close_library(), 1);
    EXPECT_EQ(hosts[0].sock, -1);
}

TEST_F(HostTable, SecondInitEndsTheLinksItRefillsAndResetsCurrentHost) {
    init_library("a b c", "", capture_log);
    paired_host pair0(0);
    paired_host pair2(2);
    current_host = 2;
    owned_record pending_record;
    owned_record beyond_record;
    brennic_result &pending = *pending_record.record;
    brennic_result &beyond = *beyond_record.record;
    pending.id = 4;
    pending.host = &hosts[0];
    beyond.id = 5;
    beyond.host = &hosts[2];
    link_pending(&beyond);
    link_pending(&pending);

    EXPECT_EQ(init_library("d", "", capture_log), 1);
    EXPECT_EQ(host_count, 1);
    EXPECT_STREQ(hosts[0].name, "d");
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_EQ(hosts[0].sock, -1);
    EXPECT_FALSE(hosts[0].rx);
    EXPECT_FALSE(hosts[0].tx);
    EXPECT_EQ(pending.failed, 1) << "results of an ended link come back as failed";
    EXPECT_EQ(current_host, 0);
    // A record beyond the new count is ended as well: its results come back as failed,
    // and no socket is left that close would not reach.
    EXPECT_EQ(hosts[2].open, 0);
    EXPECT_EQ(hosts[2].sock, -1);
    EXPECT_FALSE(hosts[2].rx);
    EXPECT_EQ(beyond.failed, 1);
    EXPECT_EQ(hosts[1].sock, -1) << "a record without a link stays without one";
    reset_pending();
}

TEST_F(HostTable, ThrottledSecondInitNeverLeavesAnOpenHostWithoutGenerators) {
    init_library("a", "", capture_log);
    paired_host pair(0);
    init_library("a", "", capture_log); // the new setup is refused by the clock
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_FALSE(link_usable(&hosts[0]));
}

} // namespace
} // namespace brennic::test

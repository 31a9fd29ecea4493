// The diagnostics channel: one line per message at the right level, bounded and folded.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/diag.h"
#include "base/limits.h"
#include "tests/support/log_capture.h"

namespace {

using brennic::test::capture_log;
std::vector<brennic::test::log_line> &received = brennic::test::log_lines();

class DiagTest : public ::testing::Test {
  protected:
    void SetUp() override {
        received.clear();
        brennic::set_log_callback(capture_log);
    }
    void TearDown() override { brennic::set_log_callback(nullptr); }
};

TEST_F(DiagTest, InfoAndErrorFoldLineEndsIntoSpaces) {
    brennic::log_info("a\r\nb\n");
    brennic::log_error("%s", "x\ry\n");
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].level, 2);
    EXPECT_EQ(received[0].text, "a  b ");
    EXPECT_EQ(received[1].level, 3);
    EXPECT_EQ(received[1].text, "x y ");
}

TEST_F(DiagTest, DebugIsDeliveredUnchanged) {
    brennic::log_debug("a\r\nb\n");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].level, 1);
    EXPECT_EQ(received[0].text, "a\r\nb\n");
}

TEST_F(DiagTest, LongMessagesAreCutAt999) {
    std::string big(1500, 'z');
    big[998] = 'e';
    brennic::log_error("%s", big.c_str());
    brennic::log_info("%.*s", brennic::kDiagMax, big.c_str());
    brennic::log_debug("%.*s", brennic::kDiagMax - 1, big.c_str());
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].text, big.substr(0, 999));
    EXPECT_EQ(received[1].text, big.substr(0, 999));
    EXPECT_EQ(received[2].text, big.substr(0, 998));
}

TEST_F(DiagTest, FoldingStopsAtTheCutNotBeyond) {
    // A line end right after the cut is gone; the one just before it is folded.
    std::string text(998, 'a');
    text += "\n\n";
    brennic::log_info("%s", text.c_str());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, std::string(998, 'a') + " ");
}

TEST_F(DiagTest, FormatArgumentsAreFormatted) {
    brennic::log_error("Unknown response %.5s (%d)", "abcdefgh", -7);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, "Unknown response abcde (-7)");
}

TEST(DiagNoCallback, MessagesBeforeAnyCallbackAreDropped) {
    // A fresh process: nothing has been stored yet.
    brennic::log_error("dropped %d", 1);
    brennic::log_info("dropped");
    brennic::log_debug("dropped");
    received.clear();
    brennic::set_log_callback(capture_log);
    brennic::log_info("kept");
    brennic::set_log_callback(nullptr);
    brennic::log_info("dropped again");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].text, "kept");
}

} // namespace

// Below the level nothing is delivered, and log_enabled says whether info lines would be.
TEST_F(DiagTest, LevelFiltersBelowItAndLogEnabledFollowsInfo) {
    struct {
        int level;
        std::size_t delivered;
        bool info_enabled;
    } const cases[] = {{1, 3, true}, {2, 2, true}, {3, 1, false}};
    for (const auto &c : cases) {
        received.clear();
        brennic::set_log_level(c.level);
        brennic::log_debug("d");
        brennic::log_info("i");
        brennic::log_error("e");
        EXPECT_EQ(received.size(), c.delivered) << "level " << c.level;
        EXPECT_EQ(brennic::log_enabled(), c.info_enabled) << "level " << c.level;
    }
    brennic::set_log_level(1);
}

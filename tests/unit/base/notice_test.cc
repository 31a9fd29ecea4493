// Notices go to the registered callback whole, or to standard output as one line.
#include <string>

#include <gtest/gtest.h>

#include "base/notice.h"

namespace {

std::string seen;

int keep(int kind, const char *host, const char *text, const char *line) {
    seen = std::to_string(kind) + "|" + (host ? host : "-") + "|" + text + "|" + line;
    return 0;
}

TEST(Notice, CallbackReceivesTheNoticeAndStandardOutputNothing) {
    brennic::set_notice_callback(keep);
    testing::internal::CaptureStdout();
    brennic::notice(brennic::kNoticeRefused, "h:1", "-ERR no", "-DEAD Failed -ERR no");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(seen, "1|h:1|-ERR no|-DEAD Failed -ERR no");

    brennic::set_notice_callback(nullptr);
    testing::internal::CaptureStdout();
    brennic::notice(brennic::kNoticeRefused, "h:1", "-ERR no", "-DEAD Failed -ERR no");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "-DEAD Failed -ERR no\n");
}

} // namespace

// The module's reply verdicts and argument reading, at their edges.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pam/policy.h"

using brennic::pam::verdict;

namespace {

TEST(PamPolicy, ReplyVerdicts) {
    const struct {
        const char *text;
        int failed;
        verdict want;
    } rows[] = {
        {"+OK smith password accepted", 0, verdict::accepted},
        {"+OK smith", 0, verdict::accepted},
        {"-ERR smith password rejected", 0, verdict::rejected},
        {"-ERR smith no such", 0, verdict::rejected},
        {"-ERR smith no such user", 0, verdict::unknown_user},
        {"-ERR smith No Such User", 0, verdict::unknown_user},
        {"+OK smithy password accepted", 0, verdict::other_user},
        {"+OK smit password accepted", 0, verdict::other_user},
        {"+OK  smith", 0, verdict::other_user}, // the second word is empty
        {"+OK", 0, verdict::other_user},
        {"-ERR jones no such user", 0, verdict::other_user},
        {"-ERR brenniclib failed while talking to brennic server", 0, verdict::unavailable},
        {"+OK smith password accepted", 1, verdict::unavailable},
        {nullptr, 0, verdict::unavailable},
    };
    for (const auto &c : rows)
        EXPECT_EQ(brennic::pam::classify_reply(c.text, c.failed, "smith"), c.want)
            << (c.text != nullptr ? c.text : "(null)") << " failed=" << c.failed;
}

void count_problem(void *context, brennic::pam::arg_problem, const char *) {
    ++*static_cast<int *>(context);
}

// Each row: one argument, the timeout it leaves, whether the call may go on, problems logged.
TEST(PamPolicy, ArgumentValuesAtTheirLimits) {
    const std::string longest(brennic::kSecretPathMax, 's');
    const struct {
        std::string arg;
        int timeout;
        bool valid;
        int problems;
    } rows[] = {
        {"timeout=120", 120, true, 0},
        {"timeout=1", 1, true, 0},
        {"timeout=121", 5, true, 1},
        {"timeout=0", 5, true, 1},
        {"timeout=5s", 5, true, 1},
        {"timeout=-1", 5, true, 1},
        {"secret=" + longest, 5, true, 0},
        {"secret=" + longest + "s", 5, false, 1},
        {"host=" + longest, 5, true, 0},
        {"host=" + longest + "h", 5, false, 1},
        {"host=", 5, true, 1},
        {"Debug", 5, true, 1},
    };
    for (const auto &c : rows) {
        int problems = 0;
        const char *argv[] = {c.arg.c_str()};
        const auto a = brennic::pam::parse_args(1, argv, count_problem, &problems);
        EXPECT_EQ(a.timeout_seconds, c.timeout) << c.arg.substr(0, 20);
        EXPECT_EQ(a.valid, c.valid) << c.arg.substr(0, 20);
        EXPECT_EQ(problems, c.problems) << c.arg.substr(0, 20);
    }
    int problems = 0;
    const char *none[] = {"debug"};
    const auto a = brennic::pam::parse_args(1, none, count_problem, &problems);
    EXPECT_STREQ(a.host, "127.0.0.1");
    EXPECT_TRUE(a.debug);
}

} // namespace

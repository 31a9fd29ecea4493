// The module's argument reading, field checks and reply verdicts.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pam/policy.h"

using brennic::pam::arg_problem;
using brennic::pam::classify_reply;
using brennic::pam::module_args;
using brennic::pam::verdict;

namespace {

TEST(PamPolicy, ReplyVerdicts) {
    struct row {
        const char *text;
        int failed;
        verdict want;
    };
    const row rows[] = {
        {"+OK smith password accepted", 0, verdict::accepted},
        {"+OK smith", 0, verdict::accepted},
        {"-ERR smith password rejected", 0, verdict::rejected},
        {"-ERR smith no such user", 0, verdict::unknown_user},
        {"-ERR smith No Such User", 0, verdict::unknown_user},
        {"-ERR smith no such", 0, verdict::rejected},
        {"+OK jones password accepted", 0, verdict::other_user},
        {"+OK smithy password accepted", 0, verdict::other_user},
        {"+OK smit password accepted", 0, verdict::other_user},
        {"+OK  smith", 0, verdict::other_user}, // the second word is empty
        {"+OK", 0, verdict::other_user},
        {"-ERR jones no such user", 0, verdict::other_user},
        {"-ERR brenniclib failed while talking to brennic server", 0, verdict::unavailable},
        {"+OK smith password accepted", 1, verdict::unavailable},
        {nullptr, 0, verdict::unavailable},
    };
    for (const row &c : rows) {
        EXPECT_EQ(classify_reply(c.text, c.failed, "smith"), c.want)
            << (c.text != nullptr ? c.text : "(null)") << " failed=" << c.failed;
    }
}

TEST(PamPolicy, FieldsThatFitTheLink) {
    EXPECT_TRUE(brennic::pam::fits_field(std::string(100, 'a').c_str()));
    for (const std::string &bad : {std::string(101, 'a'), std::string(""), std::string("a b"),
                                   std::string("a\r"), std::string("a\nb")})
        EXPECT_FALSE(brennic::pam::fits_field(bad.c_str())) << bad;
}

struct report_log {
    std::vector<std::pair<arg_problem, std::string>> seen;
    static void add(void *context, arg_problem problem, const char *arg) {
        static_cast<report_log *>(context)->seen.emplace_back(problem, arg);
    }
};

module_args parse(std::vector<std::string> words, report_log &log) {
    std::vector<const char *> argv;
    for (const std::string &w : words)
        argv.push_back(w.c_str());
    return brennic::pam::parse_args(static_cast<int>(argv.size()), argv.data(), report_log::add,
                                    &log);
}

TEST(PamPolicy, ArgumentsAndTheirDefaults) {
    report_log log;
    module_args a = parse({}, log);
    EXPECT_STREQ(a.host, "127.0.0.1");
    EXPECT_STREQ(a.secret, "");
    EXPECT_EQ(a.timeout_seconds, brennic::pam::kDefaultTimeoutSeconds);
    EXPECT_TRUE(a.valid);

    a = parse({"host=a:1,b:2", "secret=/etc/s", "timeout=120", "debug", "try_first_pass",
               "use_first_pass", "Debug", "host"},
              log);
    EXPECT_STREQ(a.host, "a:1,b:2");
    EXPECT_STREQ(a.secret, "/etc/s");
    EXPECT_EQ(a.timeout_seconds, 120);
    EXPECT_TRUE(a.debug && a.try_first_pass && a.use_first_pass && a.valid);
    ASSERT_EQ(log.seen.size(), 2u);
    EXPECT_EQ(log.seen[0], std::make_pair(arg_problem::unknown, std::string("Debug")));
    EXPECT_EQ(log.seen[1], std::make_pair(arg_problem::unknown, std::string("host")));
}

TEST(PamPolicy, UnusableValuesKeepTheDefaultOrFailTheCall) {
    for (const char *bad : {"timeout=0", "timeout=121", "timeout=-1", "timeout=5s",
                            "timeout=", "timeout= 5", "host="}) {
        report_log log;
        module_args a = parse({bad}, log);
        EXPECT_EQ(a.timeout_seconds, brennic::pam::kDefaultTimeoutSeconds) << bad;
        EXPECT_STREQ(a.host, "127.0.0.1") << bad;
        EXPECT_TRUE(a.valid) << bad;
        ASSERT_EQ(log.seen.size(), 1u) << bad;
        EXPECT_EQ(log.seen[0].first, arg_problem::bad_value) << bad;
    }
    // A value the library would cut short is never passed on cut.
    const std::string fits(brennic::kSecretPathMax, 's');
    report_log log;
    EXPECT_TRUE(parse({"secret=" + fits}, log).valid);
    for (const std::string key : {"secret=", "host="}) {
        module_args a = parse({key + fits + "s"}, log);
        EXPECT_FALSE(a.valid) << key;
    }
    ASSERT_EQ(log.seen.size(), 2u);
    EXPECT_EQ(log.seen[1].first, arg_problem::too_long);
}

} // namespace

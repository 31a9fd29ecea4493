// The console's options for scripts (-json, -status, -strict, -timeout) against the
// scripted library.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell/json.h"
#include "shell/options.h"
#include "shell/shell.h"
#include "tests/support/json_lines.h"
#include "tests/unit/shell/fake_brennic.h"

namespace {

using brennic::test::parse_json_lines;
using brennic::test::quoted;

const std::string kFailure = "-ERR brenniclib failed while talking to brennic server";

class ScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        brennic::shell_reset();
        fake::reset();
    }
    void TearDown() override { brennic::shell_reset(); }

    std::string run(std::vector<std::string> args, const std::string &input) {
        brennic::shell_reset();
        std::FILE *in = std::tmpfile();
        std::FILE *out = std::tmpfile();
        std::fwrite(input.data(), 1, input.size(), in);
        std::rewind(in);
        std::vector<char *> argv{program_.data()};
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        status = brennic::shell_main(static_cast<int>(argv.size() - 1), argv.data(), in, out);
        std::fflush(out);
        std::rewind(out);
        std::string text;
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
            text.append(buf, n);
        brennic::shell_out = stdout;
        std::fclose(in);
        std::fclose(out);
        return text;
    }
    static void answer(std::optional<std::string> text, int ret = 1,
                       std::vector<std::string> lines = {}) {
        fake::fake_state.answers.push_back({ret, std::move(text), std::move(lines), {}});
    }

    int status = -1;
    std::string program_ = "brennic";
};

std::string json_of(const char *text) {
    std::FILE *f = std::tmpfile();
    brennic::json_string(f, text);
    std::rewind(f);
    char buf[256] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    return std::string(buf, n);
}

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsWellFormedUtf8) {
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\x01\x1b[2J\r\n\t\x7f", "\"\\u0001\\u001b[2J\\u000d\\u000a\\u0009\\u007f\""},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xff\xfe", "\"\\u00ff\\u00fe\""},
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                       // overlong '/'
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},            // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""}, // past U+10FFFF
        {"\xe2\x82", "\"\\u00e2\\u0082\""},                       // cut at the end
    };
    for (const auto &c : cases)
        EXPECT_EQ(json_of(c.in), c.out) << c.in;
}

TEST(ParseTimeout, AcceptsPositiveDecimalSecondsRoundedUpToMilliseconds) {
    const struct {
        const char *text;
        int ms; // -1: refused
    } cases[] = {{"2", 2000},   {"0.5", 500},        {".25", 250},      {"1.", 1000}, {"0.0001", 1},
                 {"0.0010", 1}, {"86400", 86400000}, {"86400.001", -1}, {"0", -1},    {"0.000", -1},
                 {"", -1},      {".", -1},           {"-1", -1},        {" 1", -1},   {"1e3", -1},
                 {"1,5", -1}};
    for (const auto &c : cases) {
        int ms = -1;
        const bool ok = brennic::parse_timeout(c.text, ms);
        EXPECT_EQ(ok ? ms : -1, c.ms) << c.text;
    }
}

TEST_F(ScriptTest, TimeoutReachesTheLibraryBeforeItStarts) {
    run({}, "");
    EXPECT_EQ(fake::fake_state.timeout_ms, -1) << "without -timeout the library's own limits hold";
    EXPECT_NE(fake::fake_state.notice, nullptr) << "the console always takes the notices";
    fake::reset();
    run({"-timeout", "0.25"}, "");
    EXPECT_EQ(fake::fake_state.timeout_ms, 250);
    fake::reset();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-timeout", "soon"}, std::vector<std::string>{"-timeout"}}) {
        fake::reset();
        EXPECT_EQ(run(args, "check a b\n"), "");
        EXPECT_EQ(status, 64) << "a deadline asked for is never dropped: " << args.size();
        EXPECT_EQ(fake::fake_state.init_calls, 0);
    }
}

TEST_F(ScriptTest, StatusSaysHowTheCommandsWent) {
    const struct {
        std::vector<std::optional<std::string>> replies; // one check each
        std::string extra_input;
        int status;
    } cases[] = {
        {{}, "", 0},
        {{"+OK a ok", "+OK a ok"}, "help\nversion\n", 0},
        {{"-ERR a rejected"}, "", 1},
        {{"+OK other ok"}, "", 1}, // a reply naming another user
        {{}, "foo\n", 1},
        {{kFailure}, "", 2},
        {{std::nullopt}, "", 2},
        {{"-ERR a rejected", std::nullopt}, "foo\n", 2},
    };
    for (const auto &c : cases) {
        fake::reset();
        std::string input;
        for (const auto &r : c.replies) {
            answer(r);
            input += "check a b\n";
        }
        const std::string out = run({"-status"}, input + c.extra_input);
        EXPECT_EQ(status, c.status) << input << c.extra_input;
        EXPECT_TRUE(out.ends_with("+OK exiting\n"));
    }
    answer("+OK x", 0); // refused by the library
    run({"-status"}, "set a b\n");
    EXPECT_EQ(status, 1);
}

TEST_F(ScriptTest, StrictSkipsCommentsAndRefusesCommandsMissingArguments) {
    const std::string out = run({"-strict"}, "\n   \n\t# note\n  # another\n"
                                             "check smith\nlookup\ndel\nsearch\nset\nmod\n"
                                             "check smith pw\n");
    EXPECT_EQ(out, "-ERR Missing argument (check) use help\n"
                   "-ERR Missing argument (lookup) use help\n"
                   "-ERR Missing argument (del) use help\n"
                   "-ERR Missing argument (search) use help\n"
                   "-ERR Missing argument (set) use help\n"
                   "-ERR Missing argument (mod) use help\n"
                   "+OK\n+OK exiting\n");
    ASSERT_EQ(fake::fake_state.calls.size(), 1u) << "nothing else is sent";
    EXPECT_EQ(fake::fake_state.calls[0].password, "pw");
}

TEST_F(ScriptTest, StrictAnswersAnOverlongLineOnceAndDropsItsRest) {
    const std::string limit(19998, 'x');
    const std::string out =
        run({"-strict", "-status"}, "check " + limit + " rest\nversion\n" + // over the limit
                                        limit + "\n" +                      // exactly the limit
                                        std::string(19997, 'y') + "\r\n" + "version");
    EXPECT_EQ(out, "-ERR Input line longer than 19998 characters\n"
                   "+OK brennic version 1.2a\n"
                   "-ERR Invalid command (" +
                       limit +
                       ") use help\n"
                       "-ERR Invalid command (" +
                       std::string(19997, 'y') +
                       ") use help\n"
                       "+OK brennic version 1.2a\n+OK exiting\n");
    EXPECT_TRUE(fake::fake_state.calls.empty());
    EXPECT_EQ(status, 1);
}

TEST_F(ScriptTest, StrictRefusesUnknownOptionsAndMissingValuesBeforeAnything) {
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"-strict", "-Debug"},
                                               {"-bogus", "-strict"},
                                               {"-strict", "stray"},
                                               {"-strict", "-version", "-x"},
                                               {"-strict", "-host"},
                                               {"-json", "-strict", "-timeout"}}) {
        fake::reset();
        EXPECT_EQ(run(args, "version\n"), "") << args[1];
        EXPECT_EQ(status, 64) << args[1];
        EXPECT_EQ(fake::fake_state.init_calls, 0);
    }
    // A value is not an option, and without -strict an unknown one stays ignored.
    EXPECT_EQ(run({"-strict", "-host", "-bogus", "-secret", "-json"}, ""), "+OK exiting\n");
    EXPECT_EQ(fake::fake_state.init_hosts, "-bogus");
    EXPECT_EQ(run({"-bogus"}, ""), "+OK exiting\n");
}

TEST_F(ScriptTest, StatusCommandListsTheHosts) {
    BRENNIC_SKIP_WITHOUT_JSON_CHECKER();
    fake::fake_state.hosts = {{"dir1", 601, BRENNIC_HOST_OPEN, 3},
                              {"dir\x1b"
                               "2",
                               6010, BRENNIC_HOST_FAILED, -1}};
    EXPECT_EQ(run({}, "status\n"), "-ERR Invalid command (status) use help\n+OK exiting\n");
    EXPECT_EQ(run({"-strict"}, "status\n"), "+DATA host dir1 port 601 state open last 3\n"
                                            "+DATA host dir\x1b"
                                            "2 port 6010 state failed last -1\n"
                                            "+OK\n+OK exiting\n");
    const auto parsed = parse_json_lines(run({"-json"}, "status\n"));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(parsed.objects.size(), 2u);
    EXPECT_EQ(
        parsed.objects[0].at("hosts"),
        "[{\"host\": \"dir1\", \"port\": 601, \"state\": \"open\", \"last\": 3}, "
        "{\"host\": \"dir\\u001b2\", \"port\": 6010, \"state\": \"failed\", \"last\": null}]");
}

TEST_F(ScriptTest, JsonGivesOneObjectPerCommandInInputOrder) {
    BRENNIC_SKIP_WITHOUT_JSON_CHECKER();
    fake::fake_state.hosts = {{"dir1", 601, BRENNIC_HOST_OPEN, 0}};
    const std::string hostile = "+OK smith \x1b]0;x\x07 \"q\" \\ \r\xff\xc3\xa9";
    answer(hostile);                                          // 1 check
    answer("+OK jones");                                      // 2 lookup, another user
    answer(kFailure);                                         // 3 set
    answer(std::nullopt);                                     // 4 mod
    answer("+OK x", 0);                                       // 5 del, refused
    answer("+OK 1 found", 1, {"+DATA a\x01", "+OK 1 found"}); // 6 search
    answer(kFailure, 1, {"+DATA b"});                         // 7 search, link failed
    fake::fake_state.request_refusals = {{"dir1", "1 -ERR no\r+OK smith"}};
    fake::fake_state.init_logs = {"goes to standard error"}; // would break the parse on stdout
    const std::string out = run({"-json", "-debug"}, "check smith pw\nlookup smith\nset a b\n"
                                                     "mod a b\ndel a\nsearch a\nsearch b\n\n"
                                                     "help\nversion\nfoo\nquit\nignored\n");
    const auto parsed = parse_json_lines(out);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << out;
    const auto &o = parsed.objects;
    ASSERT_EQ(o.size(), 14u) << out;
    EXPECT_EQ(o[0].at("event"), quoted("refused")) << "the notice comes ahead, as an event";
    EXPECT_EQ(o[0].at("host"), quoted("dir1:601"));
    EXPECT_EQ(o[0].at("text"), quoted("1 -ERR no\\r+OK smith"));
    const char *want[][3] = {
        {"check", "ok", "+OK smith \\u001b]0;x\\u0007 \\\"q\\\" \\\\ \\r\\u00ff\\u00e9"},
        {"lookup", "err", "-ERR smith +OK jones"},
        {"set", "dead", "-ERR brenniclib failed while talking to brennic server"},
        {"mod", "timeout", "-ERR a no reply from brennic server"},
        {"del", "refused", "-ERR a brennic_lib call failed, see brennic.log"},
        {"search", "ok", "+OK 1 found"},
        {"search", "dead", "-ERR brenniclib failed while talking to brennic server"},
        {"nocommand", "invalid", "-ERR Invalid command (nocommand) use help"},
        {"help", "ok", "+OK "},
        {"version", "ok", "+OK brennic version 1.2a"},
        {"foo", "invalid", "-ERR Invalid command (foo) use help"}};
    for (std::size_t i = 0; i < std::size(want); ++i) {
        const auto &obj = o[i + 1];
        EXPECT_EQ(obj.at("seq"), std::to_string(i + 1));
        EXPECT_EQ(obj.at("command"), quoted(want[i][0])) << i;
        EXPECT_EQ(obj.at("outcome"), quoted(want[i][1])) << i;
        EXPECT_EQ(obj.at("reply"), quoted(want[i][2])) << i;
        const bool answered = i < 2 || i == 5;
        EXPECT_EQ(obj.count("host"), answered ? 1u : 0u) << "only an answer names its host: " << i;
        EXPECT_TRUE(obj.count("ms"));
    }
    EXPECT_EQ(o[1].at("host"), quoted("dir1:601"));
    EXPECT_EQ(o[6].at("lines"), "[\"+DATA a\\u0001\", \"+OK 1 found\"]");
    EXPECT_EQ(o[7].at("lines"), "[\"+DATA b\", \"" + kFailure + "\"]");
    EXPECT_EQ(o[12].at("command"), quoted("quit"));
    EXPECT_EQ(o[12].count("reply"), 0u);
    EXPECT_EQ(o[13].at("event"), quoted("exiting"));
}

TEST_F(ScriptTest, WithoutJsonTheNoticeIsTheLibrarysOwnLine) {
    fake::fake_state.init_refusals = {{"dir1", "1 -ERR handshake refused"}};
    EXPECT_EQ(run({}, "version\n"),
              "-DEAD Failed 1 -ERR handshake refused\n+OK brennic version 1.2a\n+OK exiting\n");
}

} // namespace

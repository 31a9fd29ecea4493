// The console with -pipeline N against the test server: its output must be byte for byte
// what the one-at-a-time console prints for the same input and the same answers, also when
// the server answers out of order or twice, dies mid-run, or refuses the handshake.
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"
#include "tests/support/json_lines.h"

using brennic::e2e::read_file;
using brennic::e2e::run_result;
using brennic::e2e::server_process;
using brennic::e2e::temp_dir;
using brennic::e2e::transcript_requests;

namespace {

constexpr int kRunLimitMs = 30000;
constexpr int kSearchUsers = 150; // a search that answers with this many +DATA lines

class Pipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        std::string users = "smith secret1 mail=smith@example.org dept=ops\n"
                            "jones pw2 mail=jones@example.org dept=dev\n";
        for (int i = 0; i < kSearchUsers; ++i)
            users += "u" + std::to_string(i) + " p" + std::to_string(i) + " crowd=yes\n";
        users_ = dir_.write("users.txt", users);
        secret_ = dir_.write("secret.txt", "pipeline secret\n");
    }

    // A server with the shared files, recording what it receives under tag.
    void start(server_process &srv, const std::string &tag, std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {"--users", users_,         "--secret",
                                      secret_,   "--transcript", dir_.file("transcript" + tag)};
        a.insert(a.end(), extra.begin(), extra.end());
        ASSERT_TRUE(srv.start(a)) << tag;
    }

    // The console with depth N (1: the one-at-a-time loop, no option given).
    std::string console(const std::string &hosts, const std::string &input, int depth) {
        std::vector<std::string> argv = {BRENNIC_CONSOLE_PATH, "-host", hosts, "-secret", secret_};
        if (depth > 1) {
            argv.push_back("-pipeline");
            argv.push_back(std::to_string(depth));
        }
        run_result r = brennic::e2e::run_program(argv, input, dir_.path(), kRunLimitMs);
        EXPECT_FALSE(r.timed_out) << "depth " << depth << "; output so far:\n" << r.out;
        EXPECT_EQ(r.exit_status, 0) << r.err;
        return r.out;
    }

    // The request lines a server received, in order.
    std::vector<std::string> requests(const std::string &tag) const {
        return transcript_requests(dir_.file("transcript" + tag));
    }

    temp_dir dir_;
    std::string users_;
    std::string secret_;
};

// Every command, invalid lines, help, version and a search of many lines; set, mod and del
// on a user of their own so that the order of changes shows.
const char kMixedScript[] = "check smith secret1\n"
                            "lookup jones\n"
                            "help\n"
                            "\n"
                            "   \n"
                            "version\n"
                            "FOO bar\n"
                            "search crowd\n"
                            "set bob pw a=1\n"
                            "check bob pw\n"
                            "mod bob pw b=2\n"
                            "lookup bob\n"
                            "del bob\n"
                            "lookup bob\n"
                            "check smith wrong\n"
                            "search nobody-matches\n"
                            "check\ttab\n"
                            "lookup jones\n";

// Only commands whose answer is the same from every server: the test that kills a server
// cannot tell which changes reached it before it died.
std::string read_only_script(int commands) {
    std::string s;
    for (int i = 0; i < commands; ++i) {
        switch (i % 6) {
        case 0:
            s += "check u" + std::to_string(i % kSearchUsers) + " p" +
                 std::to_string(i % kSearchUsers) + "\n";
            break;
        case 1:
            s += "lookup smith\n";
            break;
        case 2:
            s += "search jones\n";
            break;
        case 3:
            s += i % 12 == 3 ? "version\n" : "bogus\n";
            break;
        case 4:
            s += "check jones wrong\n";
            break;
        default:
            s += "lookup u" + std::to_string(i) + "\n";
            break;
        }
    }
    return s;
}

const int kDepths[] = {1, 2, 7, 100};

TEST_F(Pipeline, MixedScriptIsByteIdenticalWithRepliesOutOfOrder) {
    // The jittered server answers requests in flight together out of order; one at a time
    // it only delays them.
    const std::string script = std::string(kMixedScript) + read_only_script(60);
    std::string expected;
    {
        server_process srv;
        start(srv, "base");
        expected = console(srv.address(), script, 1);
    }
    ASSERT_NE(expected.find("+OK search 150 found\n"), std::string::npos) << expected;
    for (int depth : kDepths) {
        server_process srv;
        start(srv, "jitter" + std::to_string(depth), {"--reply-jitter-ms", "4"});
        EXPECT_EQ(console(srv.address(), script, depth), expected) << "depth " << depth;
    }
}

TEST_F(Pipeline, ServerKilledMidRunAndARefusingHostAreByteIdentical) {
    const std::string script = read_only_script(90);
    std::string expected;
    for (int depth : kDepths) {
        // The first server dies when its 40th request arrives; the second takes over. A
        // third host refuses the handshake: its "-DEAD Failed" line comes at start-up.
        server_process dying, taking_over, refusing;
        const std::string tag = std::to_string(depth);
        start(dying, "dying" + tag, {"--die-after", "39"});
        start(taking_over, "over" + tag);
        start(refusing, "refusing" + tag, {"--refuse-handshake"});
        const std::string out =
            console(dying.address() + "," + taking_over.address() + "," + refusing.address(),
                    script, depth);
        if (depth == 1) {
            expected = out;
            ASSERT_EQ(expected.find("-DEAD u"), std::string::npos) << "every command answered";
            ASSERT_NE(expected.find("-DEAD Failed"), std::string::npos) << expected;
        }
        EXPECT_EQ(out, expected) << "depth " << depth;
        EXPECT_FALSE(requests("over" + tag).empty());
    }
}

TEST_F(Pipeline, RepliesOutOfOrderOrTwiceReachOnlyTheirOwnCommand) {
    // Every reply names its user, so a reply given to the wrong command shows.
    std::string script;
    for (int i = 0; i < 300; ++i)
        script += i % 10 == 9 ? "search u1" + std::to_string(i % 5) + "\n"
                              : "lookup u" + std::to_string(i % kSearchUsers) + "\n";
    std::string expected;
    {
        server_process srv;
        start(srv, "base");
        expected = console(srv.address(), script, 1);
    }
    server_process srv;
    start(srv, "faulty", {"--reply-jitter-ms", "5", "--duplicate-every", "3"});
    EXPECT_EQ(console(srv.address(), script, 100), expected);
    EXPECT_EQ(requests("faulty").size(), 300u) << "no command sent twice";
}

TEST_F(Pipeline, QuitAndEndOfInputWaitForCommandsInFlight) {
    std::string checks, replies;
    for (int i = 0; i < 50; ++i) {
        checks += "check u" + std::to_string(i) + " p" + std::to_string(i) + "\n";
        replies += "+OK u" + std::to_string(i) + " password accepted\n";
    }
    server_process srv;
    start(srv, "slow", {"--reply-delay-ms", "50"});
    // Nothing after quit is read or sent.
    EXPECT_EQ(console(srv.address(), checks + "quit\ncheck smith secret1\n", 100),
              replies + "+OK exiting\n");
    EXPECT_EQ(requests("slow").size(), 50u);
    EXPECT_EQ(console(srv.address(), checks, 100), replies + "+OK exiting\n");
}

TEST_F(Pipeline, AFailedLinkWithAHundredInFlightRetriesEachCommandOnce) {
    // The first server holds its replies and dies when the 100th request arrives, with 100
    // in flight: each of them comes back failed and is sent once more, to the second server.
    std::string checks, replies;
    for (int i = 0; i < 140; ++i) {
        const std::string n = std::to_string(i % kSearchUsers);
        checks += "check u" + n + " p" + n + "\n";
        replies += "+OK u" + n + " password accepted\n";
    }
    server_process dying, taking_over;
    start(dying, "dying", {"--reply-delay-ms", "2000", "--die-after", "99"});
    start(taking_over, "over");
    EXPECT_EQ(console(dying.address() + "," + taking_over.address(), checks, 100),
              replies + "+OK exiting\n");
    const std::vector<std::string> first = requests("dying"), second = requests("over");
    EXPECT_EQ(first.size(), 100u);
    EXPECT_EQ(second.size(), 140u) << "each failed command once, the rest once";
    std::map<std::string, int> times;
    for (const std::string &r : second)
        ++times[r.substr(r.find(' ') + 1)];
    for (const auto &[request, count] : times)
        EXPECT_EQ(count, 1) << request;
}

TEST_F(Pipeline, BadDepthIsRefusedAndTheConsoleRunsOneAtATime) {
    server_process srv;
    start(srv, "");
    for (const char *bad : {"0", "1001", "x", "-3", ""}) {
        run_result r = brennic::e2e::run_program(
            {BRENNIC_CONSOLE_PATH, "-host", srv.address(), "-secret", secret_, "-pipeline", bad},
            "check smith secret1\n", dir_.path(), kRunLimitMs);
        EXPECT_EQ(r.out, "-ERR -pipeline value must be a number from 1 to 1000\n"
                         "+OK smith password accepted\n+OK exiting\n")
            << bad;
    }
}

// The script options with -pipeline: the console run with extra options, any exit status.
run_result console_with(const std::string &host, const std::string &secret,
                        std::vector<std::string> options, const std::string &input,
                        const std::string &dir) {
    std::vector<std::string> argv = {BRENNIC_CONSOLE_PATH, "-host", host, "-secret", secret};
    argv.insert(argv.end(), options.begin(), options.end());
    run_result r = brennic::e2e::run_program(argv, input, dir, kRunLimitMs);
    EXPECT_FALSE(r.timed_out) << r.out;
    return r;
}

// The objects of a -json run with their wall times taken out, which alone may differ.
std::vector<brennic::test::json_object> objects_without_ms(const std::string &out) {
    brennic::test::json_parse parsed = brennic::test::parse_json_lines(out);
    EXPECT_TRUE(parsed.ok) << parsed.error << "\n" << out;
    for (auto &o : parsed.objects)
        o.erase("ms");
    return parsed.objects;
}

TEST_F(Pipeline, JsonObjectsAndStatusAreThoseOfOneAtATime) {
    BRENNIC_SKIP_WITHOUT_JSON_CHECKER();
    // An over-long user is refused unsent: one more outcome among those of the mixed script.
    const std::string script =
        std::string(kMixedScript) + "lookup " + std::string(101, 'x') + "\n" + "quit\n";
    // One server for both runs, so that the objects name the same host; the script leaves
    // its users as it found them.
    server_process srv;
    start(srv, "json", {"--reply-jitter-ms", "4"});
    const run_result one =
        console_with(srv.address(), secret_, {"-json", "-status"}, script, dir_.path());
    const run_result piped = console_with(
        srv.address(), secret_, {"-json", "-status", "-pipeline", "7"}, script, dir_.path());
    const auto expected = objects_without_ms(one.out);
    ASSERT_EQ(expected.size(), 21u) << one.out; // 20 commands and the exiting event
    EXPECT_EQ(expected[7].at("lines").substr(0, 20), "[\"+DATA u0 crowd=yes") << one.out;
    EXPECT_EQ(objects_without_ms(piped.out), expected) << piped.out;
    EXPECT_EQ(one.exit_status, 1) << "an error reply, an invalid and a refused command";
    EXPECT_EQ(piped.exit_status, one.exit_status);
}

TEST_F(Pipeline, TimeoutGivesUpEachCommandFromItsSend) {
    server_process srv;
    ASSERT_TRUE(srv.start({"--users", users_, "--secret", secret_, "--stall-ms", "20000"}));
    const auto began = std::chrono::steady_clock::now();
    run_result r =
        console_with(srv.address(), secret_, {"-timeout", "0.5", "-status", "-pipeline", "7"},
                     "check smith secret1\nlookup jones\nversion\n", dir_.path());
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_EQ(r.out, "-ERR smith no reply from brennic server\n"
                     "-ERR jones no reply from brennic server\n"
                     "+OK brennic version 1.2a\n+OK exiting\n");
    EXPECT_EQ(r.exit_status, 2);
}

} // namespace

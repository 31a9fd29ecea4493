// The child-process runner itself, with a small program of its own: arguments that need
// quoting, standard input and output flowing together, the time limit, temporary directories.
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"

using brennic::e2e::run_program;
using brennic::e2e::run_result;
using brennic::e2e::temp_dir;

namespace {

constexpr int kLimitMs = 20000;

TEST(Runner, ArgumentsArriveUnchanged) {
    const std::vector<std::string> args = {"plain",
                                           "",
                                           "two words",
                                           "quote\"inside",
                                           "back\\slash",
                                           "trailing\\",
                                           "\\\"",
                                           "a\\\\\"b",
                                           "tab\there",
                                           "ends in space ",
                                           "\"",
                                           "--x=\"y z\"",
                                           "\\\\server\\share\\"};
    std::vector<std::string> argv = {BRENNIC_RUNNER_CHILD_PATH, "args"};
    argv.insert(argv.end(), args.begin(), args.end());
    const run_result r = run_program(argv, "", "", kLimitMs);
    std::string want;
    for (const std::string &a : args)
        want += "[" + a + "]\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.exit_status, 0);
}

TEST(Runner, InputAndOutputFlowTogetherWithoutDeadlock) {
    // Far more than a pipe holds in each direction: the runner must read while it writes.
    std::string input;
    for (int i = 0; input.size() < 2000000; ++i)
        input += "line " + std::to_string(i) + "\n";
    temp_dir dir;
    const run_result r =
        run_program({BRENNIC_RUNNER_CHILD_PATH, "echo"}, input, dir.path(), kLimitMs);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.out == input) << r.out.size() << " bytes against " << input.size();
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.exit_status, 3);
}

TEST(Runner, TimeLimitEndsTheProgram) {
    const auto began = std::chrono::steady_clock::now();
    const run_result r = run_program({BRENNIC_RUNNER_CHILD_PATH, "sleep"}, "", "", 300);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_status, -1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
}

TEST(Runner, TempDirIsFreshAndRemovedWithItsContent) {
    std::string path;
    {
        temp_dir a, b;
        ASSERT_FALSE(a.path().empty());
        EXPECT_NE(a.path(), b.path());
        path = a.path();
        std::filesystem::create_directories(a.file("sub/deeper"));
        a.write("sub/deeper/f.txt", "text");
        EXPECT_EQ(brennic::e2e::read_file(a.file("sub/deeper/f.txt")), "text");
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace

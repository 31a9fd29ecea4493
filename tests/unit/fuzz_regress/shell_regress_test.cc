// Fuzz inputs of the console target replayed through its harness and stand-in library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz/harness.h"
#include "tests/unit/fuzz_regress/corpus_files.h"

namespace brennic::fuzz {
namespace {

constexpr char kOkText = 0x09; // the call returns 1 with a reply text

std::string text(const std::string &t) { return static_cast<char>(t.size()) + t; }

const shell_outcome &run_shell(const std::string &lines, const std::string &answers) {
    const std::vector<std::uint8_t> input = input_of(lines + std::string(1, '\0') + answers);
    shell_one(input.data(), input.size());
    return last_shell_outcome();
}

TEST(FuzzCorpus, ShellReplaysItsSeeds) {
    const std::vector<corpus_file> files = corpus_of("fuzz_shell");
    ASSERT_FALSE(files.empty());
    for (const corpus_file &f : files) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(shell_one(f.bytes.data(), f.bytes.size()), 0);
        EXPECT_EQ(last_shell_outcome().records_live, 0);
    }
}

TEST(ShellRegress, RepliesAreRenderedForTheUserAsTyped) {
    const shell_outcome &o =
        run_shell("CHECK smith pw\nlookup jones\ncheck smith pw\n",
                  kOkText + text("+OK jones") + kOkText +
                      text("-ERR brenniclib failed while talking to brennic server") + kOkText +
                      text("+OK smith"));
    EXPECT_EQ(o.output, "-ERR smith +OK jones\n"
                        "-DEAD jones -ERR brenniclib failed while talking to brennic server\n"
                        "+OK smith\n");
    EXPECT_EQ(o.library_calls, 3);
}

TEST(ShellRegress, LocalCommandsStopAtQuit) {
    const shell_outcome &o = run_shell("version\nFOO\n\ncheck\tsmith\nquit\ncheck a b\n", "");
    EXPECT_EQ(o.output, "+OK brennic version 1.2a\n"
                        "-ERR Invalid command (foo) use help\n"
                        "-ERR Invalid command (nocommand) use help\n"
                        "-ERR Invalid command (check\tsmith) use help\n");
    EXPECT_EQ(o.library_calls, 0);
}

TEST(ShellRegress, SearchLinesArePrintedOneLineEach) {
    // Three lines to the callback (0xC0), one holding a CR, then the final text.
    const shell_outcome &o =
        run_shell("SEARCH Smith\r\n", std::string(1, static_cast<char>(0xC9)) + text("+DATA a") +
                                          text("+DATA b\rc") + text("+OK") + text("+OK"));
    EXPECT_EQ(o.output, "+DATA a\n+DATA b c\n+OK\n");
}

TEST(ShellRegress, SearchWhoseLinkFailedPrintsTheFailureText) {
    // The failure text never reaches the line callback; it is printed on its own.
    const shell_outcome &o = run_shell(
        "search smith\n", kOkText + text("-ERR brenniclib failed while talking to brennic server"));
    EXPECT_EQ(o.output, "-ERR brenniclib failed while talking to brennic server\n");
}

TEST(ShellRegress, RefusalsAndMissingRepliesEachPrintOneErrorLine) {
    // set refuses; mod returns no text; del hands back no record at all.
    const shell_outcome &o =
        run_shell("set smith pw a=1 b=2\nmod x y  z\ndel smith\n", std::string("\x00\x01\x31", 3));
    EXPECT_EQ(o.output, "-ERR smith brennic_lib call failed, see brennic.log\n"
                        "-ERR x no reply from brennic server\n"
                        "-ERR smith no reply from brennic server\n");
    EXPECT_EQ(o.records_live, 0);
}

TEST(ShellRegress, ServerTextCannotStartALineOfItsOwn) {
    const shell_outcome &o = run_shell("del smith\n", kOkText + text("+OK gone\n+OK forged"));
    EXPECT_EQ(o.output, "+OK gone +OK forged\n");
}

} // namespace
} // namespace brennic::fuzz

// The console's standard input abused: a 1 MB line, every byte value, zero bytes, lone CRs
// and 100 000 blank lines. The console must answer each piece with its own line, end with
// "+OK exiting", and stay small while doing it.
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fault/fault_support.h"

namespace brennic::fault {
namespace {

using e2e::closed_port;
using e2e::run_result;

constexpr int kPieceMax = 19998; // characters the console takes from a line at a time
constexpr long kPeakRssLimitKb = 16 * 1024;
constexpr char kNoCommand[] = "-ERR Invalid command (nocommand) use help\n";
constexpr char kVersion[] = "+OK brennic version 1.2a\n";

std::string invalid(const std::string &word) {
    return "-ERR Invalid command (" + word + ") use help\n";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

class StdinAbuse : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
#ifndef _WIN32
        // The console may stop reading before all input is written (after quit). (Windows
        // has no such signal: the write just fails.)
        std::signal(SIGPIPE, SIG_IGN);
#endif
    }
    // No server listens on the configured host: nothing here depends on one.
    run_result run(const std::string &input) {
        return console("127.0.0.1:" + std::to_string(closed_port()), input, {}, 60000);
    }
    void expect_small() {
        if (kSanitized) return; // the sanitizer's shadow memory dwarfs the console's own
#ifndef _WIN32
        EXPECT_LT(children_peak_rss_kb(), kPeakRssLimitKb);
#endif
    }
};

TEST_F(StdinAbuse, OneMegabyteLineIsReadInPieces) {
    constexpr int kLength = 1000000;
    run_result r = run(std::string(kLength, 'A') + "\nversion\n");
    std::string expected;
    int left = kLength;
    while (left > 0) {
        const int piece = left < kPieceMax ? left : kPieceMax;
        expected += invalid(std::string(piece, 'a')); // the command word is lower-cased
        left -= piece;
    }
    expected += std::string(kVersion) + kExiting;
    EXPECT_EQ(lines_of(r.out).size(), 51u + 2u);
    EXPECT_TRUE(r.out == expected)
        << "output differs; " << r.out.size() << " bytes against " << expected.size();
    expect_small();
}

TEST_F(StdinAbuse, OneMegabyteOfWordsOnOneLine) {
    // A line of many words: each piece's first word is its command, the rest is ignored.
    std::string line;
    while (line.size() < 1000000)
        line += "HELP ";
    run_result r = run(line + "\n");
    const std::size_t pieces = (line.size() + kPieceMax - 1) / kPieceMax;
    // A piece boundary can split a word; every piece still yields exactly one answer, and
    // a piece beginning with "HELP" yields the eight help lines.
    int help_blocks = 0;
    int invalids = 0;
    for (const std::string &l : lines_of(r.out)) {
        if (l == "+DATA Valid commands") ++help_blocks;
        if (l.rfind("-ERR Invalid command (", 0) == 0) ++invalids;
    }
    EXPECT_EQ(static_cast<std::size_t>(help_blocks + invalids), pieces) << r.out.substr(0, 400);
    EXPECT_EQ(count_lines_equal(r.out, "+OK "), help_blocks);
    EXPECT_EQ(lines_of(r.out).back(), "+OK exiting");
    expect_small();
}

TEST_F(StdinAbuse, EveryByteValueInACommandWord) {
    // All bytes but the zero byte, LF, CR and space (which end a line or a word).
    std::string word;
    for (int b = 1; b < 256; ++b) {
        if (b != '\n' && b != '\r' && b != ' ') word.push_back(static_cast<char>(b));
    }
    std::string lowered = word;
    for (char &c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    run_result r = run(word + " arg\n" + std::string("\xff\xfe\x80 check\n") + "version\n");
    EXPECT_EQ(r.out, invalid(lowered) + invalid("\xff\xfe\x80") + kVersion + kExiting);
}

TEST_F(StdinAbuse, ZeroBytesEndTheTextOfTheirLine) {
    using namespace std::string_literals;
    run_result r = run("ver\0sion\n"s + "\0version\n"s + "version\0junk\n"s + "\0\0\0\n"s +
                       "HELP\0\n"s + "version\n"s);
    std::string help;
    help = "+DATA Valid commands\n"
           "+DATA \tlookup username\n"
           "+DATA \tcheck username password\n"
           "+DATA \tset username password|(NULL) [var=\"val\" ...]\n"
           "+DATA \tsearch string\n"
           "+DATA \tdel username\n"
           "+DATA \texit\n"
           "+OK \n";
    EXPECT_EQ(r.out,
              invalid("ver") + kNoCommand + kVersion + kNoCommand + help + kVersion + kExiting);
}

TEST_F(StdinAbuse, LoneCarriageReturnsSeparateWords) {
    run_result r = run("version\rjunk\n"
                       "\r\r\r\n"
                       "\rVERSION\r\n"
                       "lookup\rsmith\rextra\n"
                       "\r\r");
    EXPECT_EQ(r.out, std::string(kVersion) + kNoCommand + kVersion + dead_line("smith") +
                         kNoCommand + kExiting);
}

TEST_F(StdinAbuse, HundredThousandBlankLines) {
    constexpr int kLines = 100000;
    run_result r = run(std::string(kLines, '\n'));
    std::string expected;
    expected.reserve(static_cast<std::size_t>(kLines) * (sizeof kNoCommand - 1) + 16);
    for (int i = 0; i < kLines; ++i)
        expected += kNoCommand;
    expected += kExiting;
    EXPECT_EQ(lines_of(r.out).size(), static_cast<std::size_t>(kLines) + 1);
    EXPECT_TRUE(r.out == expected)
        << "output differs; " << r.out.size() << " bytes against " << expected.size();
    expect_small();
}

TEST_F(StdinAbuse, QuitStopsReadingWhateverFollows) {
    std::string tail(300000, '\n');
    run_result r = run("version\nquit\n" + tail + std::string(500000, 'x'));
    EXPECT_EQ(r.out, std::string(kVersion) + kExiting);
}

} // namespace
} // namespace brennic::fault

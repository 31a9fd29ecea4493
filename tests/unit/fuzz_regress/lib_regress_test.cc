// Fuzz inputs of the library and socket-layer targets replayed through their harnesses. A
// harness aborts when an invariant breaks, so every replay is also a check of those
// invariants; the named cases pin the outcome as well.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/harness.h"
#include "lib/cipher/secret_file.h"
#include "lib/protocol.h"
#include "net/extra/utilities.h"
#include "tests/unit/fuzz_regress/corpus_files.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kFailureText = "-ERR brenniclib failed while talking to brennic server";

// Reader input: receive size selector, flags, seed, id bits, then what the server sends.
constexpr std::uint8_t kEncipher = 0x01;
constexpr std::uint8_t kClosed = 0x02;
constexpr std::uint8_t kReset = 0x04;
constexpr std::uint8_t kNoCallback = 0xC0; // index 3: past the only result
constexpr std::uint8_t kBytewise = 0;

std::vector<std::uint8_t> reader_input(std::uint8_t chunk, std::uint8_t flags, std::uint8_t ids,
                                       const std::string &payload, std::int8_t seed = 42) {
    std::string bytes{static_cast<char>(chunk), static_cast<char>(flags), static_cast<char>(seed),
                      static_cast<char>(ids)};
    return input_of(bytes + payload);
}

const reader_outcome &run_reader(const std::vector<std::uint8_t> &input) {
    reader_one(input.data(), input.size());
    return last_reader_outcome();
}

void replay_all(const char *target, int (*one)(const std::uint8_t *, std::size_t)) {
    const std::vector<corpus_file> files = corpus_of(target);
    ASSERT_FALSE(files.empty()) << target;
    for (const corpus_file &f : files) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(one(f.bytes.data(), f.bytes.size()), 0);
    }
}

TEST(FuzzCorpus, EveryTargetReplaysItsSeeds) {
    replay_all("fuzz_reader", reader_one);
    replay_all("fuzz_handshake", handshake_one);
    replay_all("fuzz_hosts", hosts_one);
    replay_all("fuzz_header_tokens", header_tokens_one);
    replay_all("fuzz_secret_file", secret_file_one);
}

// Found by fuzz_reader: a reply line without a space. Its reply text was found by pointer
// arithmetic across two unrelated objects (the line buffer and a literal ""), which the
// undefined-behaviour sanitizer reports; the text must be empty and the result complete.
TEST(ReaderRegress, LineWithoutSpaceCompletesWithEmptyText) {
    // Found as: byte-wise receives, the "\r\n" line with id 0 and a result of id 0 pending.
    const reader_outcome &o = run_reader(input_of(std::string("\x00\x01\x2a\x01\r\n", 6)));
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].id, 0);
    EXPECT_EQ(o.results[0].text, "");
    EXPECT_EQ(o.results[0].ok, 0);
    EXPECT_EQ(o.results[0].failed, 0);
}

TEST(ReaderRegress, LineWithoutSpaceReachesTheCallbackAsEmptyText) {
    // Result of id 5 with the line callback; the line "5+OK" holds no space.
    const reader_outcome &o = run_reader(reader_input(kBytewise, kEncipher, 2, "5+OK\r\n"));
    ASSERT_EQ(o.lines.size(), 1u);
    EXPECT_EQ(o.lines[0], "");
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].text, "");
    EXPECT_EQ(o.results[0].ok, 0);
}

TEST(ReaderRegress, EncipheredReplyReceivedByteByByteCompletes) {
    const reader_outcome &o =
        run_reader(reader_input(kBytewise, kEncipher | kNoCallback, 0, "-1 +OK smith\r\n"));
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].id, -1);
    EXPECT_EQ(o.results[0].text, "+OK smith");
    EXPECT_EQ(o.results[0].ok, 1);
    EXPECT_TRUE(o.link_open);
    EXPECT_EQ(o.still_pending, 0);
}

TEST(ReaderRegress, UnencipheredBytesDoNotFormTheLine) {
    // The same bytes, not enciphered, are deciphered into noise: nothing completes.
    const reader_outcome &o =
        run_reader(reader_input(kBytewise, kNoCallback, 0, "-1 +OK smith\r\n"));
    for (const auto &r : o.results)
        EXPECT_NE(r.text, "+OK smith");
}

TEST(ReaderRegress, SearchLinesReachTheCallbackAndTheFinalOneCompletes) {
    const reader_outcome &o = run_reader(reader_input(
        6, kEncipher, 0, "-1 +DATA one\r\n-1 +DATA two\r\n-1 +DATA three\r\n-1 +OK done\r\n"));
    EXPECT_EQ(o.lines,
              (std::vector<std::string>{"+DATA one", "+DATA two", "+DATA three", "+OK done"}));
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].text, "+OK done");
    EXPECT_EQ(o.results[0].ok, 1);
}

TEST(ReaderRegress, TwoFinalLinesInOneReceiveCompleteOnePerPoll) {
    // Results -1 and 5; both lines arrive in a single receive of up to 200 bytes.
    const reader_outcome &o = run_reader(reader_input(199, kEncipher | (1 << 3) | kNoCallback,
                                                      0 | (2 << 2), "5 +OK b\r\n-1 -ERR a\r\n"));
    ASSERT_EQ(o.results.size(), 2u);
    EXPECT_EQ(o.results[0].id, 5);
    EXPECT_EQ(o.results[0].text, "+OK b");
    EXPECT_EQ(o.results[1].id, -1);
    EXPECT_EQ(o.results[1].text, "-ERR a");
    EXPECT_EQ(o.results[1].ok, 0);
}

TEST(ReaderRegress, OverlongLineIsThrownAwayAndTheStreamGoesOn) {
    const std::string payload = std::string(20000, 'A') + "\r\n-1 +OK x\r\n";
    const reader_outcome &o = run_reader(reader_input(255, kEncipher | kNoCallback, 0, payload));
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].text, "+OK x");
    EXPECT_TRUE(o.link_open);
}

TEST(ReaderRegress, ClosedLinkHandsBackEveryPendingResultAsFailed) {
    // Three results (-1, 0, 5) and a partial line, then the server closes the connection.
    const reader_outcome &o =
        run_reader(reader_input(kBytewise, kEncipher | kClosed | (2 << 3) | kNoCallback,
                                0 | (1 << 2) | (2 << 4), "-1 +DA"));
    ASSERT_EQ(o.results.size(), 3u);
    for (const auto &r : o.results) {
        EXPECT_EQ(r.failed, 1);
        EXPECT_EQ(r.text, kFailureText);
    }
    EXPECT_FALSE(o.link_open);
}

TEST(ReaderRegress, LoneLineFeedEndsTheLink) {
    const reader_outcome &o =
        run_reader(reader_input(kBytewise, kEncipher | kNoCallback, 0, "\n-1 +OK\r\n"));
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].text, kFailureText);
    EXPECT_FALSE(o.link_open);
}

TEST(ReaderRegress, ResultOfNoHostOutlivesAResetLink) {
    // Result 0 is sent to no host, result -1 to the link; the link is reset.
    const reader_outcome &o =
        run_reader(reader_input(3, kEncipher | kReset | (1 << 3) | 0x20 | kNoCallback, 1, ""));
    ASSERT_EQ(o.results.size(), 1u);
    EXPECT_EQ(o.results[0].id, -1);
    EXPECT_EQ(o.results[0].failed, 1);
    EXPECT_EQ(o.still_pending, 1);
}

// Host lists: flags, list length / 5, list, reply length, reply, host text NUL bind text.
std::vector<std::uint8_t> hosts_input(std::uint8_t flags, std::string list,
                                      const std::string &reply, const std::string &direct) {
    const std::size_t units = (list.size() + 4) / 5;
    list.resize(units * 5, '\0');
    std::string bytes{static_cast<char>(flags), static_cast<char>(units)};
    return input_of(bytes + list + static_cast<char>(reply.size()) + reply + direct);
}

constexpr std::uint8_t kRefused = 1;
constexpr std::uint8_t kHandshake = 3;
constexpr std::uint8_t kResolve = 0x04;
constexpr std::uint8_t kSecret = 0x08;
constexpr std::uint8_t kTwice = 0x10;

TEST(HostsRegress, ListIsSplitAndEveryHostIsTriedWithItsPort) {
    const auto input =
        hosts_input(kRefused | kResolve, "alpha, beta,,Gamma:602", "", "127.0.0.1:6001");
    hosts_one(input.data(), input.size());
    const hosts_outcome &o = last_hosts_outcome();
    EXPECT_EQ(o.names, (std::vector<std::string>{"alpha", "beta", "Gamma:602"}));
    EXPECT_EQ(o.attempts, 3);
    EXPECT_EQ(o.ports, (std::vector<int>{601, 601, 602, 6001}));
    EXPECT_EQ(o.open_links, 0);
}

TEST(HostsRegress, AcceptedHandshakesOpenLinksAgainAfterASecondInit) {
    const auto input =
        hosts_input(kHandshake | kResolve | kSecret | kTwice, "127.0.0.1:601,Host.Example:99999",
                    "1 +ENCRYPT 42\r\n", "10.0.0.7");
    hosts_one(input.data(), input.size());
    const hosts_outcome &o = last_hosts_outcome();
    EXPECT_EQ(o.names, (std::vector<std::string>{"127.0.0.1:601", "Host.Example:99999"}));
    EXPECT_EQ(o.attempts, 4);
    EXPECT_EQ(o.open_links, 1);
    // 99999 is no port: that entry is never connected. The direct text has no port and takes
    // the default.
    EXPECT_EQ(o.ports, (std::vector<int>{601, 601, 601}));
}

TEST(HostsRegress, SixthEntryAndLongEntriesAreCut) {
    const std::string long_entry(250, 'h');
    const auto input = hosts_input(kRefused, "a,b " + long_entry + ",c,d,e,f", "", "");
    hosts_one(input.data(), input.size());
    const hosts_outcome &o = last_hosts_outcome();
    ASSERT_EQ(o.names.size(), 5u);
    EXPECT_EQ(o.names[2], std::string(200, 'h'));
    EXPECT_EQ(o.names[4], "d");
    EXPECT_EQ(o.connects, 0); // names do not resolve
}

// Found by fuzz_handshake (the harness's own reading of the number was wrong): a third token
// that starts with a vertical tab or form feed is still read as atoi reads it.
TEST(HandshakeRegress, NumberAfterAVerticalTabIsRead) {
    const std::string reply = "1\x0b\n\n\n+ENCRYPT\n\n\x0b"
                              "1\n\n";
    const handshake_reply parsed =
        parse_handshake_reply(reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(parsed.verdict, handshake_verdict::accepted);
    EXPECT_STREQ(parsed.token3, "\x0b"
                                "1");
    EXPECT_EQ(parsed.n, 1);
    const auto input = input_of("\xff" + reply);
    EXPECT_EQ(handshake_one(input.data(), input.size()), 0);
}

TEST(HeaderTokensRegress, CapacityLimitsTheTokensAtMinusFive) {
    for (int capacity : {6, 7, 8}) {
        SCOPED_TRACE(capacity);
        char line[] = "one two three four five six";
        std::vector<char *> tokens(static_cast<std::size_t>(capacity));
        const int n = split_header_line(line, tokens.data(), " ", capacity);
        EXPECT_EQ(n, capacity - 5);
        EXPECT_EQ(tokens[static_cast<std::size_t>(n)], nullptr);
        EXPECT_STREQ(tokens[0], "one");
    }
}

TEST(SecretFileRegress, FirstLineEndsAtNulCrOrLfAndAt399Characters) {
    const std::string path = ::testing::TempDir() + "fuzz_regress_secret";
    const std::pair<std::string, std::string> cases[] = {
        {std::string("a\0b\n", 4), "a"},
        {"mid\rdle\n", "mid"},
        {"\r\nlater\n", ""},
        {std::string(500, 's'), std::string(399, 's')},
    };
    for (const auto &[content, secret] : cases) {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        EXPECT_EQ(std::string(read_secret(path.c_str(), 0)), secret);
    }
    std::remove(path.c_str());
}

} // namespace
} // namespace brennic::fuzz

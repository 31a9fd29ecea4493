#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "base/text.h"
#include "lib/cipher/secret_hash.h"
#include "lib/limits.h"
#include "lib/protocol.h"

namespace brennic {
namespace {

handshake_reply parse(const std::string &bytes) {
    return parse_handshake_reply(bytes.data(), static_cast<int>(bytes.size()));
}

std::string handshake_of(const char *secret) {
    char out[32];
    const int n = format_handshake(out, sizeof out, secret);
    EXPECT_EQ(n, static_cast<int>(std::string(out).size()));
    return std::string(out, static_cast<std::size_t>(n));
}

TEST(Handshake, LineCarriesTruncatingRemainderOfTheHash) {
    EXPECT_EQ(handshake_of(""), "1 ENCRYPT NORMAL 0\r\n");
    EXPECT_EQ(handshake_of("abc"), "1 ENCRYPT NORMAL 19\r\n");      // 26499
    EXPECT_EQ(handshake_of("ffffffff"), "1 ENCRYPT NORMAL -6\r\n"); // -858993466
    EXPECT_EQ(handshake_of("\xE9"), "1 ENCRYPT NORMAL -3\r\n");     // -23
    // Hash -27 ("\xE5" is -27): remainder -7, 21 bytes.
    ASSERT_EQ(secret_hash("\xE5"), -27);
    EXPECT_EQ(handshake_of("\xE5"), "1 ENCRYPT NORMAL -7\r\n");
    EXPECT_EQ(handshake_of("\xE5").size(), 21u);
    ASSERT_EQ(secret_hash("\x1B"), 27);
    EXPECT_EQ(handshake_of("\x1B"), "1 ENCRYPT NORMAL 7\r\n");
    EXPECT_EQ(handshake_of(nullptr), "1 ENCRYPT NORMAL 0\r\n");
}

TEST(Handshake, AcceptedRepliesAndTheirNumber) {
    struct {
        const char *bytes;
        int n;
        const char *token3;
    } cases[] = {
        {"1 +ENCRYPT 42\r\n", 42, "42"},
        {"77 +ENCRYPT 42\r\n", 42, "42"},      // first token is not looked at
        {"1\t+ENCRYPT\t42\r\n", 42, "42"},     // TABs separate like spaces
        {"  \r\n1 \t +ENCRYPT  \n 9", 9, "9"}, // runs of separators, leading ones
        {"1 +ENCRYPT 12abc\r\n", 12, "12abc"},
        {"1 +ENCRYPT abc\r\n", 0, "abc"},
        {"1 +ENCRYPT -5\r\n", -5, "-5"},
        {"1 +ENCRYPT 99999999999\r\n", 2147483647, "99999999999"},
        {"1 +ENCRYPT -99999999999\r\n", -2147483647 - 1, "-99999999999"},
        {"1 +ENCRYPT 7 and more words\r\n", 7, "7"},
        {"1 +ENCRYPT", 0, ""}, // no number: taken as 0
        {"1 +ENCRYPT \r\n", 0, ""},
    };
    for (const auto &c : cases) {
        const handshake_reply r = parse(c.bytes);
        EXPECT_EQ(r.verdict, handshake_verdict::accepted) << c.bytes;
        EXPECT_EQ(r.n, c.n) << c.bytes;
        EXPECT_STREQ(r.token3, c.token3) << c.bytes;
    }
}

TEST(Handshake, RefusalsAndReadFailures) {
    EXPECT_EQ(parse("").verdict, handshake_verdict::read_failure);
    EXPECT_EQ(parse("1").verdict, handshake_verdict::read_failure);
    EXPECT_EQ(parse_handshake_reply(nullptr, 10).verdict, handshake_verdict::read_failure);
    EXPECT_EQ(parse_handshake_reply("1 +ENCRYPT 4", -3).verdict, handshake_verdict::read_failure);
    const char *refused[] = {
        "1 +encrypt 42\r\n",
        "1 +ENCRYPTED 42\r\n",
        "1 +ENCRYP 42\r\n",
        "1 -ERR no\r\n",
        "1 ENCRYPT 42\r\n",
        "+ENCRYPT 42\r\n",
        "1\r\n",
        "  ",
        "1 +ENC", // a reply cut by the network after 6 bytes
    };
    for (const char *r : refused)
        EXPECT_EQ(parse(r).verdict, handshake_verdict::refused) << r;
    // The first 6 bytes of a good reply, as one receive, are a refusal.
    EXPECT_EQ(parse_handshake_reply("1 +ENCRYPT 42\r\n", 6).verdict, handshake_verdict::refused);
}

TEST(Handshake, ReplyIsTextEndingAtFirstNul) {
    EXPECT_EQ(parse(std::string("\0\0", 2)).verdict, handshake_verdict::refused);
    EXPECT_EQ(parse(std::string("1 +ENC\0RYPT 4", 13)).verdict, handshake_verdict::refused);
    const handshake_reply r = parse(std::string("1 +ENCRYPT 4\0"
                                                "5",
                                                14));
    EXPECT_EQ(r.verdict, handshake_verdict::accepted);
    EXPECT_EQ(r.n, 4);
}

TEST(Handshake, OnlyFirst200BytesAreLookedAt) {
    // A number that ends exactly at byte 200, and one that runs past it.
    const std::string head = "1 +ENCRYPT ";
    const std::string fits = head + std::string(kHandshakeReplyMax - head.size(), '7');
    handshake_reply r = parse(fits);
    EXPECT_EQ(r.verdict, handshake_verdict::accepted);
    EXPECT_EQ(std::string(r.token3).size(), kHandshakeReplyMax - head.size());
    EXPECT_EQ(r.n, 2147483647);
    r = parse(fits + "8888");
    EXPECT_EQ(std::string(r.token3), std::string(kHandshakeReplyMax - head.size(), '7'));
    // The keyword itself beyond byte 200 is never seen.
    EXPECT_EQ(parse(std::string(kHandshakeReplyMax - 3, ' ') + "1 +ENCRYPT 5").verdict,
              handshake_verdict::refused);
    EXPECT_EQ(parse(std::string(kHandshakeReplyMax - 12, ' ') + "1 +ENCRYPT 5").verdict,
              handshake_verdict::accepted);
}

TEST(PortOfEntry, DigitsFrom1To65535OrTheDefaultElseInvalid) {
    // 0 marks an entry whose port is not one the user can have meant: nothing is connected.
    const struct {
        const char *entry;
        int port;
    } rows[] = {
        {"example.org", 601},
        {"127.0.0.1:7000", 7000},
        {"host:1", 1},
        {"host:65535", 65535},
        {"host:0601", 601},
        {"host:0", 0},
        {"host:65536", 0},
        {"host:70000", 0},
        {"host:6010x", 0},
        {"host:", 0},
        {":", 0},
        {"host:abc", 0},
        {"host:-1", 0},
        {"host: 80", 0},
        {"host:99999999999", 0},
        {"[::1]:7000", 7000},
        {"[::1]", 601},
        {"::1", 601},
        {"fe80::1:2", 601},
        {"[::1]:", 0},
        {"[::1]x", 0},
        {"[::1", 0},
        {"[::1]:70000", 0},
        {"", 601},
    };
    for (const auto &row : rows)
        EXPECT_EQ(port_of_entry(row.entry, kDefaultPort), row.port) << row.entry;
    EXPECT_EQ(port_of_entry(nullptr, 33), 33);
}

TEST(RequestLine, IdTextAndLineEndWithTextCutAt19000) {
    static char out[kLineBufSize];
    EXPECT_EQ(format_request_line(out, sizeof out, -1, "check bob pw"), 17);
    EXPECT_STREQ(out, "-1 check bob pw\r\n");
    EXPECT_EQ(format_request_line(out, sizeof out, 2147483647, ""), 13);
    EXPECT_STREQ(out, "2147483647 \r\n");
    for (int len : {kRequestTextMax - 1, kRequestTextMax, kRequestTextMax + 1}) {
        const std::string text(static_cast<std::size_t>(len), 'x');
        const int n = format_request_line(out, sizeof out, -1, text.c_str());
        const int kept = len < kRequestTextMax ? len : kRequestTextMax;
        EXPECT_EQ(n, kept + 5) << len;
        EXPECT_EQ(std::string(out),
                  "-1 " + std::string(static_cast<std::size_t>(kept), 'x') + "\r\n");
    }
}

TEST(RequestText, FieldsBoundedAt100) {
    char out[kShortRequestBuf];
    EXPECT_EQ(format_check(out, sizeof out, "bob", ""), 10);
    EXPECT_STREQ(out, "check bob ");
    for (int len : {kUserMax - 1, kUserMax, kUserMax + 1}) {
        const std::string u(static_cast<std::size_t>(len), 'u');
        const std::string p(static_cast<std::size_t>(len), 'p');
        const std::size_t kept = static_cast<std::size_t>(len < kUserMax ? len : kUserMax);
        format_check(out, sizeof out, u.c_str(), p.c_str());
        EXPECT_EQ(std::string(out), "check " + u.substr(0, kept) + " " + p.substr(0, kept));
        format_lookup(out, sizeof out, u.c_str());
        EXPECT_EQ(std::string(out), "lookup " + u.substr(0, kept));
        format_del(out, sizeof out, u.c_str());
        EXPECT_EQ(std::string(out), "del " + u.substr(0, kept));
    }
    // Separators inside a field go out as they are.
    format_check(out, sizeof out, "a b", "c\r\nd");
    EXPECT_STREQ(out, "check a b c\r\nd");
}

TEST(RequestText, SetAndModWithNullPasswordAndLongAttributes) {
    static char out[kLongRequestBuf];
    EXPECT_EQ(format_set(out, sizeof out, "bob", nullptr, ""), 15);
    EXPECT_STREQ(out, "set bob (NULL) ");
    format_mod(out, sizeof out, "bob", "pw", "mail=b");
    EXPECT_STREQ(out, "mod bob pw mail=b");
    format_set(out, sizeof out, "", "", "");
    EXPECT_STREQ(out, "set   ");
    for (int len : {kRequestTextMax - 1, kRequestTextMax, kRequestTextMax + 1}) {
        const std::string attrs(static_cast<std::size_t>(len), 'a');
        const int n = format_set(out, sizeof out, "u", "p", attrs.c_str());
        EXPECT_EQ(n, 8 + (len < kRequestTextMax ? len : kRequestTextMax)) << len;
    }
}

TEST(RequestText, SearchCutAt200AndSmallBuffersNeverOverrun) {
    char out[kShortRequestBuf];
    for (int len : {kSearchTextMax - 1, kSearchTextMax, kSearchTextMax + 1, 250}) {
        const std::string text(static_cast<std::size_t>(len), 's');
        const int n = format_search(out, sizeof out, text.c_str());
        EXPECT_EQ(n, len < kSearchTextMax ? len : kSearchTextMax) << len;
        EXPECT_EQ(std::string(out).size(), static_cast<std::size_t>(n));
    }
    struct {
        char small[8];
        char guard[8];
    } area = {"zzzzzzz", "#######"};
    EXPECT_EQ(format_lookup(area.small, sizeof area.small, "someone"), 7);
    EXPECT_STREQ(area.small, "lookup ");
    EXPECT_STREQ(area.guard, "#######");
}

// The request texts are built without a format string; the builder must leave exactly what
// snprintf leaves, byte for byte, with the same result, at every capacity.
TEST(TextBuilder, LeavesWhatSnprintfLeavesAtEveryCapacity) {
    const std::int32_t numbers[] = {0, -1, 7, 2147483647, INT_MIN, -19, 1000000};
    const char *texts[] = {"", "a", "check bob pw", "x y\r\nz", "0123456789abcdefghij"};
    const std::size_t limits[] = {0, 1, 5, 100};
    std::mt19937 rng(2024);
    for (int round = 0; round < 400; ++round) {
        const std::int32_t number = numbers[rng() % std::size(numbers)];
        const char *first = texts[rng() % std::size(texts)];
        const char *second = texts[rng() % std::size(texts)];
        const std::size_t limit = limits[rng() % std::size(limits)];
        for (std::size_t cap = 0; cap <= 48; ++cap) {
            char want[64];
            char got[64];
            std::memset(want, '#', sizeof want);
            std::memset(got, '#', sizeof got);
            const int n = std::snprintf(want, cap, "%d %.*s|%s", static_cast<int>(number),
                                        static_cast<int>(limit), first, second);
            text_builder b = start_text(got, cap);
            add_int(b, number);
            add_text(b, " ");
            add_text(b, first, limit);
            add_text(b, "|");
            add_text(b, second);
            const std::size_t kept = cap == 0 ? 0 : std::min(static_cast<std::size_t>(n), cap - 1);
            ASSERT_EQ(b.length, kept) << number << " " << first << " " << second << " " << cap;
            // Every byte, the untouched ones past the capacity included.
            ASSERT_EQ(std::memcmp(want, got, sizeof want), 0) << number << " " << cap;
        }
    }
}

TEST(CopyBounded, StopsAtTheEndOrTheLimitAndAlwaysTerminatesAtTheLimit) {
    char dst[12];
    std::memset(dst, '#', sizeof dst);
    copy_bounded(dst, "abc", 8);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(std::string(dst + 4, 4), "####"); // between the text and the limit: untouched
    EXPECT_EQ(dst[8], '\0');
    EXPECT_EQ(dst[9], '#');
    copy_bounded(dst, "abcdefghijkl", 8);
    EXPECT_STREQ(dst, "abcdefgh");
    EXPECT_EQ(dst[9], '#');
    copy_bounded(dst, "", 0);
    EXPECT_EQ(dst[0], '\0');
}

TEST(ReplyLine, IdAndText) {
    EXPECT_EQ(reply_id("-1 +OK bob"), -1);
    EXPECT_EQ(reply_id("  42 x"), 42);
    EXPECT_EQ(reply_id("abc 1"), 0);
    EXPECT_EQ(reply_id("99999999999 +OK"), 2147483647);
    EXPECT_STREQ(reply_text("-1 +OK bob here"), "+OK bob here");
    EXPECT_STREQ(reply_text("-1"), "");
    EXPECT_STREQ(reply_text("-1 "), "");
    EXPECT_STREQ(reply_text(" 5 +OK"), "5 +OK"); // after the first space, even a leading one
}

TEST(ReplyLine, Classification) {
    EXPECT_TRUE(reply_is_intermediate("+DATA x"));
    EXPECT_TRUE(reply_is_intermediate("+DATAX"));
    EXPECT_FALSE(reply_is_intermediate("+data"));
    EXPECT_FALSE(reply_is_intermediate("+DAT"));
    EXPECT_FALSE(reply_is_success("+data"));
    EXPECT_TRUE(reply_is_success("+OKAY"));
    EXPECT_TRUE(reply_is_success("+OK"));
    EXPECT_FALSE(reply_is_success("+O"));
    EXPECT_FALSE(reply_is_success("-ERR no"));
    EXPECT_FALSE(reply_is_success(" +OK"));
    EXPECT_FALSE(reply_is_success(reply_text("5+OK")));
    EXPECT_FALSE(reply_is_intermediate(""));
    EXPECT_FALSE(reply_is_success(""));
}

} // namespace
} // namespace brennic

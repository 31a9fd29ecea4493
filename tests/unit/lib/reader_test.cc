// The response reader, poll and the blocking wait.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/unit/lib/support.h"

namespace brennic::test {
namespace {

class Reader : public LibraryTest {
  protected:
    void TearDown() override {
        for (brennic_result *&r : records)
            free_result(&r);
        LibraryTest::TearDown();
    }
    // A pending record for host, linked as dispatch links it.
    brennic_result *pending(std::int32_t id, int host = 0, brennic_line_fn on_line = nullptr) {
        brennic_result *r = new_result();
        r->id = id;
        r->host = &hosts[host];
        r->on_line = on_line;
        r->sent = 1;
        link_pending(r);
        records.push_back(r);
        return r;
    }
    // Polls until one result is collected, at most tries times.
    static brennic_result *poll_until(int tries = 50) {
        brennic_result *out = nullptr;
        for (int i = 0; i < tries; ++i) {
            if (poll_results(&out) == 1) return out;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return nullptr;
    }
    std::vector<brennic_result *> records;
};

std::vector<std::string> &seen_lines() {
    static std::vector<std::string> lines;
    return lines;
}
int note_line(int id, const char *text) {
    seen_lines().push_back(std::to_string(id) + "|" + text);
    return 0;
}

TEST_F(Reader, AReplyInPiecesIsCollectedWhenItsLineIsComplete) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(7);
    brennic_result *out = nullptr;
    pair.send("7 +OK bo");
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(hosts[0].inlen, 8);
    EXPECT_EQ(count_log("brennic_poll, returning false"), 1);
    pair.send("b\r");
    EXPECT_EQ(poll_results(&out), 0);
    pair.send("\n");
    ASSERT_EQ(poll_results(&out), 1) << dump_log();
    EXPECT_EQ(out, r);
    EXPECT_STREQ(r->text, "+OK bob");
    EXPECT_EQ(r->ok, 1);
    EXPECT_EQ(rlist, nullptr);
    EXPECT_EQ(hosts[0].inlen, 0);
    EXPECT_EQ(count_log("Got 9 bytes (7 +OK bob)", kLevelInfo), 1);
}

TEST_F(Reader, SearchLinesReachTheCallbackAndTheFinalTextStays) {
    host_count = 1;
    paired_host pair(0);
    seen_lines().clear();
    brennic_result *r = pending(-1, 0, note_line);
    pair.send("-1 +DATA one\r\n-1 +DATA two\r\n-1 +DATA three\r\n-1 +OK 3 found\r\n");
    ASSERT_EQ(poll_until(), r);
    EXPECT_EQ(seen_lines(), (std::vector<std::string>{"-1|+DATA one", "-1|+DATA two",
                                                      "-1|+DATA three", "-1|+OK 3 found"}));
    EXPECT_STREQ(r->text, "+OK 3 found");
    EXPECT_EQ(r->ok, 1);
}

TEST_F(Reader, IntermediateLinesArePassedOnAsTheyArrive) {
    host_count = 1;
    paired_host pair(0);
    seen_lines().clear();
    pending(4, 0, note_line);
    pair.send("4 +DATA a\r\n4 +DA");
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(seen_lines(), std::vector<std::string>{"4|+DATA a"});
}

TEST_F(Reader, TwoFinalLinesInOneReceiveComeFromTwoPolls) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *a = pending(1);
    brennic_result *b = pending(2);
    pair.send("2 +OK b\r\n1 -ERR no such user\r\n");
    ASSERT_EQ(poll_until(), b);
    // A further receive would now see the end of the stream and lose the link.
    pair.close_peer();
    brennic_result *out = nullptr;
    ASSERT_EQ(poll_results(&out), 1) << dump_log();
    EXPECT_EQ(out, a);
    EXPECT_STREQ(a->text, "-ERR no such user");
    EXPECT_EQ(a->ok, 0);
    EXPECT_EQ(hosts[0].open, 1);
}

TEST_F(Reader, ABareLineEndIsALineWithIdZero) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *zero = pending(0);
    pair.send("\r\n");
    ASSERT_EQ(poll_until(), zero);
    EXPECT_STREQ(zero->text, "");
    EXPECT_EQ(zero->ok, 0);
}

TEST_F(Reader, ALoneLineFeedCannotBeCutAndEndsTheLink) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(5);
    pair.send("\n5 +OK\r\n");
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(count_log("Could not read a line"), 1) << dump_log();
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_EQ(hosts[0].sock, -1);
    EXPECT_EQ(r->failed, 1);
}

TEST_F(Reader, AnUnknownIdIsDroppedAndTheLinkStays) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(1);
    pair.send("9 +OK " + std::string(200, 'z') + "\r\n1 +OK\r\n");
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(count_log("Unknown response 9 +OK " + std::string(94, 'z'), kLevelError), 1)
        << dump_log();
    EXPECT_EQ(hosts[0].open, 1);
    ASSERT_EQ(poll_results(&out), 1);
    EXPECT_EQ(out, r);
}

TEST_F(Reader, ZeroBytesAreDataAndTheTextEndsAtTheFirst) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(7);
    pair.send(std::string("7 +OK a\0b\r\n", 11));
    ASSERT_EQ(poll_until(), r) << dump_log();
    EXPECT_STREQ(r->text, "+OK a");
    EXPECT_EQ(hosts[0].inlen, 0);
}

TEST_F(Reader, ALineOf19990BytesIsReceivedWholeAndItsTextCut) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(7);
    std::string line = "7 +OK ";
    line += std::string(19990 - 2 - line.size(), 'd');
    pair.send(line + "\r\n");
    ASSERT_EQ(poll_until(), r) << dump_log();
    EXPECT_EQ(count_log_prefix("Throwing away"), 0);
    EXPECT_EQ(std::strlen(r->text), 19900u - 2u);
    EXPECT_EQ(std::string(r->text).substr(0, 4), "+OK ");
}

TEST_F(Reader, ALongerLineIsCutAndItsRestThrownAway) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(7);
    brennic_result *victim = pending(8);
    // The rest of the long line is shaped like a reply to request 8; it must not answer it.
    pair.send("7 +OK " + std::string(19990 - 6, 'y') + "8 +OK forged\r\n8 -ERR real\r\n");
    ASSERT_EQ(poll_until(), r) << dump_log();
    // Read as the longest whole line (19988 bytes before CR LF), its text cut at 19900.
    EXPECT_EQ(std::string(r->text), "+OK " + std::string(19900 - 2 - 4, 'y'));
    EXPECT_EQ(r->ok, 1);
    ASSERT_EQ(poll_until(), victim) << dump_log();
    EXPECT_STREQ(victim->text, "-ERR real");
    EXPECT_EQ(count_log("Throwing away incoming data, line too long", kLevelError), 1);
    EXPECT_EQ(count_log_prefix("Unknown response"), 0) << dump_log();
    EXPECT_EQ(hosts[0].open, 1);
}

TEST_F(Reader, ALongDataLineReachesTheCallbackCut) {
    seen_lines().clear();
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(5, 0, note_line);
    pair.send("5 +DATA " + std::string(30000, 'q') + "\r\n5 +OK done\r\n");
    ASSERT_EQ(poll_until(), r) << dump_log();
    EXPECT_STREQ(r->text, "+OK done");
    EXPECT_EQ(seen_lines(), (std::vector<std::string>{"5|+DATA " + std::string(19900 - 2 - 6, 'q'),
                                                      "5|+OK done"}));
    // The first 19990 bytes cut off, the other 10020 dropped up to the LF.
    EXPECT_EQ(count_log("Throwing away incoming data, line too long", kLevelError), 1);
}

TEST_F(Reader, TheRestOfALongLineIsDroppedWhenItsLineFeedComesLater) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(7);
    brennic_result *victim = pending(9);
    brennic_result *out = nullptr;
    // Two buffers and more without a LF: the first is cut off as a junk line that answers
    // nothing, the second thrown away; nothing is collected yet.
    pair.send(std::string(2 * 19990 + 500, 'z'));
    for (int i = 0; i < 20 && count_log_prefix("Throwing away") < 2; ++i) {
        EXPECT_EQ(poll_results(&out), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(count_log("Throwing away incoming data, line too long", kLevelError), 2);
    EXPECT_EQ(count_log("Unknown response " + std::string(100, 'z'), kLevelError), 1);
    // The line ends in a later receive, behind a forged reply to request 9.
    pair.send("9 +OK forged\r\n7 +OK after\r\n");
    ASSERT_EQ(poll_until(), r) << dump_log();
    EXPECT_STREQ(r->text, "+OK after");
    EXPECT_EQ(victim->text, nullptr);
    EXPECT_EQ(count_log_prefix("Unknown response"), 1) << dump_log();
}

TEST_F(Reader, ALineOneByteTooLongLeavesTheLinkUp) {
    // After the first 19990 bytes only the LF is left; it ends the dropped rest instead of
    // being taken for a line that cannot be cut.
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(7);
    brennic_result *next = pending(8);
    std::string line = "7 +OK ";
    line += std::string(19991 - 2 - line.size(), 'd');
    pair.send(line + "\r\n8 +OK after\r\n");
    ASSERT_EQ(poll_until(), r) << dump_log();
    EXPECT_EQ(std::string(r->text).substr(0, 5), "+OK d");
    ASSERT_EQ(poll_until(), next) << dump_log();
    EXPECT_STREQ(next->text, "+OK after");
    EXPECT_EQ(next->failed, 0);
    EXPECT_EQ(hosts[0].open, 1);
    EXPECT_EQ(count_log_prefix("Could not read a line"), 0);
}

TEST_F(Reader, ALostConnectionFlagsTheHostsResults) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(-1);
    pair.close_peer();
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(count_log_prefix("Lost connection to host pair0 ("), 1) << dump_log();
    EXPECT_EQ(count_log("Could not read more data "), 1);
    EXPECT_EQ(count_log_prefix("Set failed "), 2) << "marked failed twice";
    EXPECT_EQ(hosts[0].open, 0);
    ASSERT_EQ(poll_results(&out), 1);
    EXPECT_EQ(out, r);
    EXPECT_STREQ(r->text, "-ERR brenniclib failed while talking to brennic server");
    EXPECT_EQ(r->ok, 0);
    EXPECT_EQ(r->failed, 1);
    EXPECT_EQ(rlist, nullptr);
}

TEST_F(Reader, AHostThatIsNotOpenIsReportedAtEveryPoll) {
    host_count = 1;
    std::snprintf(hosts[0].name, sizeof hosts[0].name, "gone");
    brennic_result *r = pending(3);
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(count_log("Is not open (gone)"), 1);
    EXPECT_EQ(r->failed, 1);
}

TEST_F(Reader, FlaggedResultsComeFirstAndMoveTheCurrentHost) {
    host_count = 3;
    paired_host pair0(0);
    paired_host pair1(1);
    paired_host pair2(2);
    current_host = 2;
    brennic_result *waiting = pending(1, 0);
    brennic_result *flagged = pending(2, 1);
    flagged->failed = 1;
    pair0.send("1 +OK\r\n");
    brennic_result *out = nullptr;
    ASSERT_EQ(poll_results(&out), 1);
    EXPECT_EQ(out, flagged);
    EXPECT_EQ(current_host, 0);
    EXPECT_EQ(count_log("Poll failed for some reason, next request to host 0"), 1);
    EXPECT_EQ(count_log_prefix("Got "), 0) << "no host is read in that poll";
    EXPECT_EQ(poll_until(), waiting);
}

// Requests lost with one link move the current host on once: their resends then all go to
// the next host, not back and forth. Each later failure moves it again.
TEST_F(Reader, OneLostLinkMovesTheCurrentHostOnceForAllItsRequests) {
    host_count = 3;
    for (int id = 1; id <= 3; ++id)
        pending(id, 0);
    flag_results_of(&hosts[0]);
    brennic_result *out = nullptr;
    for (int collected = 0; collected < 3; ++collected) {
        ASSERT_EQ(poll_results(&out), 1);
        EXPECT_EQ(current_host, 1) << "after result " << collected;
    }
    flag_failed(pending(4, 1));
    ASSERT_EQ(poll_results(&out), 1);
    EXPECT_EQ(current_host, 2);
}

// brennic_wait does not sleep while poll has a result to hand back without reading.
TEST_F(Reader, WaitReturnsAtOnceForAHeldOrFlaggedResult) {
    host_count = 1;
    paired_host pair(0);
    EXPECT_EQ(brennic_wait(0), 0);
    brennic_result *held = new_result();
    hold_result(held);
    EXPECT_EQ(brennic_wait(60000), 1);
    brennic_result *out = nullptr;
    ASSERT_EQ(poll_results(&out), 1);
    EXPECT_EQ(out, held);
    free_result(&out);
    flag_failed(pending(1, 0));
    EXPECT_EQ(brennic_wait(60000), 1);
}

TEST_F(Reader, AFlaggedResultIsTakenOutItselfNotANewerOneOfItsId) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *flagged = pending(-1);
    flagged->failed = 1;
    brennic_result *newer = pending(-1);
    brennic_result *out = nullptr;
    ASSERT_EQ(poll_results(&out), 1);
    EXPECT_EQ(out, flagged);
    EXPECT_EQ(rlist, newer);
    EXPECT_EQ(newer->next, nullptr);
}

TEST_F(Reader, WithNoHostsOnlyFlaggedResultsComeBack) {
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    brennic_result *r = pending(1);
    r->failed = 1;
    EXPECT_EQ(poll_results(&out), 1);
    EXPECT_EQ(out, r);
    EXPECT_EQ(current_host, 0);
}

// The blocking wait.

int idle_calls = 0;
int idle_quiet(int) {
    ++idle_calls;
    return 0;
}

TEST_F(Reader, WaitGivesUpAfter3000EmptyPolls) {
    hooks.idle_wait = idle_quiet;
    idle_calls = 0;
    EXPECT_EQ(wait_for_id(-1), 0);
    EXPECT_EQ(count_log("brennic_poll, returning false"), 3001);
    EXPECT_EQ(idle_calls, 6000) << "a short and a long wait after each of 3000 polls";
    EXPECT_EQ(count_log("Timedout while waiting for id -1 ", kLevelInfo), 1);
    EXPECT_EQ(count_log("Block for -1"), 1);
}

// A clock that moves only when the wait waits.
std::int64_t fake_ms = 0;
std::int64_t fake_clock_ms() { return fake_ms; }
int idle_ready_after_20ms(int) {
    ++idle_calls;
    fake_ms += 20;
    return 1;
}

TEST_F(Reader, WaitWokenEveryTimeGivesUpByItsLength) {
    // Something to read after every short wait, never a reply: the long wait is skipped,
    // no poll counts as idle, and the wait ends when it has lasted 3000 x 1020 ms.
    set_log_callback(nullptr);
    hooks.idle_wait = idle_ready_after_20ms;
    hooks.clock_ms = fake_clock_ms;
    fake_ms = 0;
    idle_calls = 0;
    EXPECT_EQ(wait_for_id(-1), 0);
    EXPECT_EQ(idle_calls, 3000 * 1020 / 20 + 1);
}

// Each wait lets one more byte of the reply arrive.
paired_host *trickle_pair = nullptr;
std::string trickle_bytes;
std::size_t trickle_sent = 0;
int idle_one_more_byte(int) {
    ++idle_calls;
    if (trickle_sent < trickle_bytes.size())
        trickle_pair->send(trickle_bytes.substr(trickle_sent++, 1));
    return 1;
}

TEST_F(Reader, AReplyInMoreThan3000PiecesIsWaitedFor) {
    // Every poll takes in a piece and finds no complete line: none of them is idle, so the
    // count of idle polls does not run out however many pieces the reply takes.
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(-1);
    trickle_pair = &pair;
    trickle_bytes = "-1 +OK " + std::string(4000, 'p') + "\r\n";
    trickle_sent = 0;
    hooks.idle_wait = idle_one_more_byte;
    idle_calls = 0;
    EXPECT_EQ(wait_for_id(-1), 1) << "gave up after " << idle_calls << " pieces";
    EXPECT_EQ(std::string(r->text), "+OK " + std::string(4000, 'p'));
    EXPECT_GT(idle_calls, 4000);
    trickle_pair = nullptr;
}

TEST_F(Reader, WaitIgnoresOtherIdsWithoutResettingItsCount) {
    host_count = 1;
    paired_host pair(0);
    hooks.idle_wait = idle_quiet;
    brennic_result *other = pending(7);
    pending(-1);
    pair.send("7 +OK other\r\n");
    EXPECT_EQ(wait_for_id(-1), 0);
    EXPECT_EQ(count_log("Ignoring response id -1 7 ", kLevelError), 1) << dump_log();
    EXPECT_EQ(count_log("block looping -1"), 2);
    EXPECT_EQ(count_log("brennic_poll, returning false"), 3001);
    EXPECT_STREQ(other->text, "+OK other");
    EXPECT_EQ(rlist->id, -1) << "the other result left the list";
}

TEST_F(Reader, WaitEndsAtTheFirstResultOfItsId) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(-1);
    pair.send("-1 +OK bob\r\n");
    EXPECT_EQ(wait_for_id(-1), 1);
    EXPECT_EQ(count_log("Got RESPONSE for id -1"), 1);
    EXPECT_STREQ(r->text, "+OK bob");
}

TEST_F(Reader, WaitWakesAsSoonAsAReplyArrives) {
    host_count = 1;
    paired_host pair(0);
    brennic_result *r = pending(-1);
    std::thread late([&pair] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pair.send("-1 +OK late\r\n");
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for_id(-1), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    late.join();
    EXPECT_LT(took, std::chrono::milliseconds(700)) << "not a blind 1020 ms sleep";
    EXPECT_STREQ(r->text, "+OK late");
}

// After an unknown reply the poll returns empty-handed although the next line may already
// sit in the buffer; the wait then polls again at once instead of waiting on the socket.
TEST_F(Reader, WaitTakesALineLeftBehindAnUnknownReplyWithoutIdling) {
    host_count = 1;
    paired_host pair(0);
    hooks.idle_wait = idle_quiet;
    idle_calls = 0;
    brennic_result *r = pending(-1);
    pair.send("99 +OK stray\r\n-1 +OK bob\r\n");
    EXPECT_EQ(wait_for_id(-1), 1);
    EXPECT_EQ(idle_calls, 0) << dump_log();
    EXPECT_EQ(count_log("Unknown response 99 +OK stray", kLevelError), 1);
    EXPECT_EQ(count_log("brennic_poll, returning false"), 1) << "the empty poll still counts";
    EXPECT_STREQ(r->text, "+OK bob");
}

TEST_F(Reader, APartialLineLeftBehindAnUnknownReplyIsWaitedFor) {
    host_count = 1;
    paired_host pair(0);
    hooks.idle_wait = idle_quiet;
    idle_calls = 0;
    brennic_result *r = pending(-1);
    pair.send("99 +OK stray\r\n-1 +OK b");
    EXPECT_EQ(wait_for_id(-1), 0);
    EXPECT_EQ(idle_calls, 6000) << "no spinning on an incomplete line";
    EXPECT_EQ(count_log("brennic_poll, returning false"), 3001);
    EXPECT_EQ(r->text, nullptr);
}

TEST_F(Reader, WaitWithoutALogCallbackTakesTheLineLeftBehind) {
    set_log_callback(nullptr);
    host_count = 1;
    paired_host pair(0);
    hooks.idle_wait = idle_quiet;
    idle_calls = 0;
    brennic_result *other = pending(5);
    brennic_result *r = pending(-1);
    pair.send("99 +OK stray\r\n5 +OK five\r\n-1 +OK bob\r\n");
    EXPECT_EQ(wait_for_id(-1), 1);
    EXPECT_EQ(idle_calls, 0);
    EXPECT_STREQ(other->text, "+OK five") << "collected on the way and left to its owner";
    EXPECT_STREQ(r->text, "+OK bob");
    EXPECT_EQ(rlist, nullptr);
    EXPECT_TRUE(log_lines().empty());
}

// Results a wait collects for other ids, a flagged one among them, are handed back by the
// next polls in the order they were collected, before anything more is read.
TEST_F(Reader, ResultsAWaitCollectsForOtherIdsComeBackFromPollInArrivalOrder) {
    host_count = 1;
    paired_host pair(0);
    hooks.idle_wait = idle_quiet;
    brennic_result *seven = pending(7);
    brennic_result *eight = pending(8);
    brennic_result *failed = pending(9);
    flag_failed(failed);
    brennic_result *r = pending(-1);
    pair.send("8 +OK eight\r\n7 +OK seven\r\n-1 +OK mine\r\n7 +OK late\r\n");
    ASSERT_EQ(wait_for_id(-1), 1);
    EXPECT_STREQ(r->text, "+OK mine");
    EXPECT_EQ(count_log("Ignoring response id -1 9 ", kLevelError), 1) << dump_log();
    clear_log();
    for (brennic_result *expected : {failed, eight, seven}) {
        brennic_result *out = nullptr;
        ASSERT_EQ(poll_results(&out), 1);
        EXPECT_EQ(out, expected) << out->id;
    }
    EXPECT_EQ(count_log_prefix("Got "), 0) << "nothing read while results were held";
    brennic_result *out = nullptr;
    EXPECT_EQ(poll_results(&out), 0);
    EXPECT_EQ(count_log("Unknown response 7 +OK late", kLevelError), 1) << "each comes back once";
    EXPECT_STREQ(failed->text, "-ERR brenniclib failed while talking to brennic server");
    EXPECT_STREQ(seven->text, "+OK seven");
}

TEST_F(Reader, AReplyCompletesOnlyARequestSentToItsHost) {
    for (const bool indexed : {false, true}) {
        SCOPED_TRACE(indexed ? "through the index" : "walking the list");
        set_log_callback(indexed ? nullptr : capture_log);
        host_count = 2;
        paired_host pair0(0);
        paired_host pair1(1);
        brennic_result *mine = pending(5, 0);
        pair1.send("5 +OK from the other host\r\n");
        brennic_result *out = nullptr;
        EXPECT_EQ(poll_results(&out), 0);
        EXPECT_EQ(mine->text, nullptr);
        pair0.send("5 +OK mine\r\n");
        EXPECT_EQ(poll_until(), mine);
        EXPECT_STREQ(mine->text, "+OK mine");
    }
    EXPECT_EQ(count_log("Unknown response 5 +OK from the other host", kLevelError), 1);
}

// A stray line (a final line sent twice) received before a request goes out never completes
// it, whole or begun before it: whole, it is dropped before the request is written.
TEST_F(Reader, ALineReceivedBeforeARequestWentOutNeverCompletesIt) {
    struct stray_case {
        const char *before; // sent ahead of the request
        const char *after;  // sent once it is out
        bool dropped_before_send;
    };
    for (const stray_case &c : {stray_case{"-1 +OK stray\r\n", "-1 +OK mine\r\n", true},
                                stray_case{"-1 +OK str", "ay\r\n-1 +OK mine\r\n", false}}) {
        SCOPED_TRACE(c.before);
        clear_log();
        host_count = 1;
        paired_host pair(0);
        hooks.idle_wait = idle_quiet;
        pair.send(c.before);
        brennic_result *r = new_result();
        records.push_back(r);
        send_cmd(-1, "bob", "check bob pw", r);
        EXPECT_EQ(pair.received(), "-1 check bob pw\r\n");
        EXPECT_EQ(count_log("Unknown response -1 +OK stray", kLevelError),
                  c.dropped_before_send ? 1 : 0);
        pair.send(c.after);
        EXPECT_EQ(wait_for_id(-1), 1);
        EXPECT_STREQ(r->text, "+OK mine") << dump_log();
        EXPECT_EQ(count_log("Unknown response -1 +OK stray", kLevelError), 1);
    }
}

brennic_result *self_freeing = nullptr;
int refused_frees = 0;
int free_own_record(int, const char *) {
    brennic_result *r = self_freeing;
    if (free_result(&r) == 0 && r == self_freeing) ++refused_frees;
    return 0;
}

TEST_F(Reader, ALineCallbackCannotFreeItsOwnRecord) {
    host_count = 1;
    paired_host pair(0);
    self_freeing = pending(3, 0, free_own_record);
    refused_frees = 0;
    pair.send("3 +DATA a\r\n3 +OK b\r\n");
    EXPECT_EQ(poll_until(), self_freeing);
    EXPECT_EQ(refused_frees, 2);
    EXPECT_STREQ(self_freeing->text, "+OK b");
    char refusal[128];
    std::snprintf(refusal, sizeof refusal,
                  "brennic_Free (%p) refused: its line callback is running",
                  static_cast<void *>(self_freeing));
    EXPECT_EQ(count_log(refusal, kLevelError), 2) << dump_log();
    brennic_result *after = self_freeing;
    EXPECT_EQ(free_result(&after), 1) << "once the callback has returned it can go";
    records.erase(std::find(records.begin(), records.end(), self_freeing));
    self_freeing = nullptr;
}

// The spin before the first sleep, on a clock that moves 10 microseconds a reading. The
// reply is sent by the first idle wait, or by the clock at its reading number reply_at.
paired_host *spin_pair = nullptr;
int clock_reads = 0;
int reply_at = 0;
std::int64_t stepping_clock_ns() {
    ++clock_reads;
    if (clock_reads == reply_at) spin_pair->send("-1 +OK spun\r\n");
    return clock_reads * 10'000;
}
int idle_then_reply(int) {
    ++idle_calls;
    spin_pair->send("-1 +OK slept\r\n");
    return 1;
}

class Spin : public Reader {
  protected:
    void SetUp() override {
        Reader::SetUp();
        set_log_callback(nullptr); // no spinning with a log callback
        host_count = 1;
        pair = std::make_unique<paired_host>(0);
        spin_pair = pair.get();
        hooks.clock_ns = stepping_clock_ns;
        hooks.wait_spin_ns = 50'000;
        hooks.idle_wait = idle_then_reply;
        clock_reads = 0;
        reply_at = 0;
        idle_calls = 0;
    }
    void TearDown() override {
        spin_pair = nullptr;
        pair.reset();
        Reader::TearDown();
    }
    // One blocking wait for a fresh record of id -1; the reply text it got.
    std::string wait_once() {
        brennic_result *r = pending(-1);
        EXPECT_EQ(wait_for_id(-1), 1);
        return r->text != nullptr ? r->text : "";
    }
    std::unique_ptr<paired_host> pair;
};

TEST_F(Spin, AReplyWithinTheSpinIsTakenWithoutSleepingAndSpinningGoesOn) {
    reply_at = 3;
    EXPECT_EQ(wait_once(), "+OK spun");
    EXPECT_EQ(idle_calls, 0);
    clock_reads = 0;
    reply_at = 2;
    EXPECT_EQ(wait_once(), "+OK spun") << "the next wait spins too";
    EXPECT_EQ(idle_calls, 0);
}

TEST_F(Spin, ASpinThatRunsOutSleepsAndPausesSpinningFor64Waits) {
    EXPECT_EQ(wait_once(), "+OK slept");
    EXPECT_EQ(idle_calls, 1);
    EXPECT_EQ(clock_reads, 6) << "one reading to start, five polls until 50 us had passed";
    for (int i = 0; i < kWaitSpinPause; ++i) {
        clock_reads = 0;
        EXPECT_EQ(wait_once(), "+OK slept");
        ASSERT_EQ(clock_reads, 0) << "wait " << i << " spun";
    }
    EXPECT_EQ(idle_calls, 1 + kWaitSpinPause);
    reply_at = 2;
    EXPECT_EQ(wait_once(), "+OK spun") << "spinning is back after the pause";
}

TEST_F(Spin, NoSpinWithALogCallbackOrWithoutASpinTime) {
    set_log_callback(capture_log); // every empty poll would log a line
    EXPECT_EQ(wait_once(), "+OK slept");
    EXPECT_EQ(clock_reads, 0);
    set_log_callback(nullptr);
    hooks.wait_spin_ns = 0;
    EXPECT_EQ(wait_once(), "+OK slept");
    EXPECT_EQ(clock_reads, 0);
    EXPECT_EQ(idle_calls, 2);
}

} // namespace
} // namespace brennic::test

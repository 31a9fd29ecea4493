#include <cstdio>
#include <string>
#include <vector>

#include "base/diag.h"
#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/socket_errors.h"
#include "tests/support/loopback_pair.h"
#include "tests/unit/net/net_fixture.h"
#include "tests/unit/net/probes.h"

namespace brennic {
namespace {

using testing::loopback_pair;
using testing::NetTest;
using testing::was_logged;

std::vector<int> sleeps;
std::vector<int> poll_timeouts;
std::vector<std::vector<poll_entry>> polled;
std::vector<std::string> calls;

void record_sleep(int ms) { sleeps.push_back(ms); }

int record_poll(poll_entry *fds, poll_count count, int timeout) {
    poll_timeouts.push_back(timeout);
    polled.emplace_back(fds, fds + count);
    return test::real_calls().poll(fds, count, 0);
}

int nothing_ready(poll_entry *fds, poll_count count, int timeout) {
    poll_timeouts.push_back(timeout);
    polled.emplace_back(fds, fds + count);
    return 0;
}

int failing_poll(poll_entry *, poll_count, int) {
    sys.set_error(kSockInterrupted);
    return -1;
}

// Names each callback call after the entry's index in the list (context).
int note_read(event_socket *, void *context) {
    calls.push_back("read" + std::to_string(reinterpret_cast<std::intptr_t>(context)));
    return 0;
}
int note_write(event_socket *, void *context) {
    calls.push_back("write" + std::to_string(reinterpret_cast<std::intptr_t>(context)));
    return 0;
}

event_socket entry_for(int fd, int want_write, std::intptr_t index) {
    return event_socket{fd,        want_write, reinterpret_cast<void *>(index),
                        note_read, note_write, nullptr};
}

class EventLoop : public NetTest {
  protected:
    void SetUp() override {
        NetTest::SetUp();
        sleeps.clear();
        poll_timeouts.clear();
        polled.clear();
        calls.clear();
        sys.sleep = record_sleep;
        sys.poll = record_poll;
    }
};

TEST_F(EventLoop, ListWithoutSocketsSleepsOneSecondAndCallsNothing) {
    EXPECT_EQ(run_event_pass(nullptr), 0);
    event_socket second = entry_for(-1, 1, 2);
    event_socket first = entry_for(-1, 1, 1);
    first.next_entry = &second;
    EXPECT_EQ(run_event_pass(&first), 0);
    EXPECT_EQ(sleeps, (std::vector<int>{1000, 1000}));
    EXPECT_TRUE(poll_timeouts.empty());
    EXPECT_TRUE(calls.empty());
}

TEST_F(EventLoop, OneShotWaitOverride) {
    sys.poll = nothing_ready;
    loopback_pair pair;
    event_socket entry = entry_for(pair.client, 0, 1);
    run_event_pass(&entry);
    EXPECT_EQ(set_next_wait(250), 1);
    run_event_pass(&entry);
    run_event_pass(&entry);
    set_next_wait(0);
    run_event_pass(&entry);
    set_next_wait(-5);
    run_event_pass(&entry);
    EXPECT_EQ(poll_timeouts, (std::vector<int>{100, 250, 100, 100, 100}));
    // Every wait is preceded by the 10 ms sleep.
    EXPECT_EQ(sleeps, (std::vector<int>{10, 10, 10, 10, 10}));
    EXPECT_TRUE(calls.empty());
}

TEST_F(EventLoop, ReadableAndWritableEntriesGetTheirCallbacks) {
    loopback_pair quiet;
    loopback_pair busy;
    ASSERT_EQ(sys.send(busy.server, "x", 1, 0), 1);
    event_socket reader_only = entry_for(busy.client, 0, 3); // readable and writable
    event_socket writer = entry_for(quiet.client, 1, 2);     // writable only
    event_socket both = entry_for(busy.client, 1, 1);
    both.next_entry = &writer;
    writer.next_entry = &reader_only;
    run_event_pass(&both);
    EXPECT_EQ(calls, (std::vector<std::string>{"read1", "write1", "write2", "read3"}));
}

int close_on_read(event_socket *entry, void *context) {
    note_read(entry, context);
    close_socket(entry->fd);
    entry->fd = -1;
    return 0;
}

TEST_F(EventLoop, ReadCallbackThatClosesItsSocketGetsNoWrite) {
    loopback_pair pair;
    ASSERT_EQ(sys.send(pair.server, "x", 1, 0), 1);
    event_socket entry = entry_for(pair.client, 1, 1);
    entry.on_read = close_on_read;
    run_event_pass(&entry);
    pair.client = -1;
    EXPECT_EQ(calls, std::vector<std::string>{"read1"});
}

int release_on_read(event_socket *entry, void *context) {
    note_read(entry, context);
    delete entry;
    return 0;
}

int release_on_write(event_socket *entry, void *context) {
    note_write(entry, context);
    delete entry;
    return 0;
}

TEST_F(EventLoop, CallbacksMayReleaseTheirOwnEntry) {
    loopback_pair first;
    loopback_pair second;
    ASSERT_EQ(sys.send(first.server, "x", 1, 0), 1);
    event_socket last = entry_for(second.client, 1, 3);
    auto *released_in_write = new event_socket(entry_for(second.client, 1, 2));
    released_in_write->on_write = release_on_write;
    released_in_write->next_entry = &last;
    auto *released_in_read = new event_socket(entry_for(first.client, 0, 1));
    released_in_read->on_read = release_on_read;
    released_in_read->next_entry = released_in_write;
    run_event_pass(released_in_read);
    EXPECT_EQ(calls, (std::vector<std::string>{"read1", "write2", "write3"}));
}

TEST_F(EventLoop, OnlyFirst64SocketsWatchedPerDirection) {
    sys.poll = nothing_ready;
    std::vector<event_socket> entries;
    for (int i = 0; i < 70; ++i)
        entries.push_back(entry_for(1000 + i, 1, i));
    for (int i = 0; i + 1 < 70; ++i)
        entries[i].next_entry = &entries[i + 1];
    run_event_pass(entries.data());
    ASSERT_EQ(polled.size(), 1u);
    ASSERT_EQ(polled[0].size(), 64u);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(polled[0][i].fd, 1000 + i);
        EXPECT_EQ(polled[0][i].events, POLLIN | POLLOUT | POLLPRI);
    }
}

TEST_F(EventLoop, WriteSetFillsIndependentlyOfReadSet) {
    sys.poll = nothing_ready;
    std::vector<event_socket> entries;
    // The first 64 do not want writing, the next 6 do: they get watched for writing only.
    for (int i = 0; i < 70; ++i)
        entries.push_back(entry_for(1000 + i, i >= 64, i));
    for (int i = 0; i + 1 < 70; ++i)
        entries[i].next_entry = &entries[i + 1];
    run_event_pass(entries.data());
    ASSERT_EQ(polled[0].size(), 70u);
    EXPECT_EQ(polled[0][63].events, POLLIN | POLLPRI);
    EXPECT_EQ(polled[0][64].events, POLLOUT);
}

int log_to_stderr(int level, const char *text) {
    std::fprintf(stderr, "[%d] %s|\n", level, text);
    return 0;
}

TEST_F(EventLoop, FailedWaitReportsBadSocketsAndExits) {
    int closed = sys.socket(AF_INET, SOCK_STREAM, 0);
    close_socket(closed);
    loopback_pair pair;
    event_socket bad = entry_for(closed, 0, 2);
    event_socket good = entry_for(pair.client, 0, 1);
    good.next_entry = &bad;
    // A statement run in a new process numbers its sockets afresh: any number is taken there.
    const std::string number =
        testing::death_test_shares_sockets() ? std::to_string(closed) : "\\d+";
    const std::string expected = "\\[3\\] Select call failed, should check for bad socket \\|\n"
                                 "\\[3\\] Bad socket found " +
                                 number + " \\|\n$";
    EXPECT_EXIT(
        {
            set_log_callback(log_to_stderr);
            sys.poll = test::real_calls().poll;
            set_next_wait(1);
            run_event_pass(&good);
        },
        ::testing::ExitedWithCode(3), expected);
}

TEST_F(EventLoop, SelectSocketsClearsEveryFlagThenMarksReadable) {
    loopback_pair quiet;
    loopback_pair busy;
    const int socks[] = {-1, quiet.client, busy.client, -1};
    int ready[] = {1, 1, 1, 1};
    EXPECT_EQ(select_sockets(socks, 4, ready, 5), 0);
    EXPECT_EQ(std::vector<int>(ready, ready + 4), (std::vector<int>{0, 0, 0, 0}));
    ASSERT_EQ(sys.send(busy.server, "x", 1, 0), 1);
    int again[] = {1, 1, 1, 1};
    EXPECT_EQ(select_sockets(socks, 4, again, 1000), 1);
    EXPECT_EQ(std::vector<int>(again, again + 4), (std::vector<int>{0, 0, 1, 0}));
    EXPECT_EQ(poll_timeouts.back(), 1000);
}

TEST_F(EventLoop, SelectSocketsWatchesAtMost64) {
    sys.poll = nothing_ready;
    std::vector<int> socks;
    for (int i = 0; i < 70; ++i)
        socks.push_back(2000 + i);
    std::vector<int> ready(70, 1);
    EXPECT_EQ(select_sockets(socks.data(), 70, ready.data(), 0), 0);
    ASSERT_EQ(polled.size(), 1u);
    EXPECT_EQ(polled[0].size(), 64u);
    EXPECT_EQ(polled[0].back().fd, 2063);
    EXPECT_EQ(ready, std::vector<int>(70, 0));
}

TEST_F(EventLoop, SelectSocketsFailureLogsAndSleepsOneSecond) {
    sys.poll = failing_poll;
    loopback_pair pair;
    int ready[] = {1};
    EXPECT_EQ(select_sockets(&pair.client, 1, ready, 10), 0);
    EXPECT_EQ(ready[0], 0);
    EXPECT_TRUE(was_logged(kLevelError, "select call failed fatal error "));
    EXPECT_EQ(sleeps, std::vector<int>{1000});
}

} // namespace
} // namespace brennic

// Result records and the pending list.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>

#include "lib/pending_index.h"
#include "tests/unit/lib/support.h"

namespace brennic::test {
namespace {

class PendingList : public LibraryTest {
  protected:
    // Links a record at the head, as dispatch does.
    brennic_result *link(std::int32_t id, brennic_host *host = nullptr) {
        brennic_result *r = new_result();
        r->id = id;
        r->host = host;
        link_pending(r);
        owned.push_back(r);
        return r;
    }
    void TearDown() override {
        for (brennic_result *r : owned) {
            take_out_quietly(r);
            std::free(r);
        }
        LibraryTest::TearDown();
    }
    std::vector<brennic_result *> owned;
};

TEST_F(PendingList, NewRecordIsZeroFilledAndNotLinked) {
    brennic_result *r = new_result();
    ASSERT_NE(r, nullptr);
    const brennic_result zero{};
    EXPECT_EQ(std::memcmp(r, &zero, sizeof zero), 0);
    EXPECT_EQ(rlist, nullptr);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Allocated new result %p  ", static_cast<void *>(r));
    EXPECT_EQ(count_log(expected, kLevelInfo), 1) << dump_log();
    std::free(r);
}

TEST_F(PendingList, FreeReleasesTextsAndClearsThePointer) {
    brennic_result *r = new_result();
    r->user = dup_text("bob");
    r->aux = dup_text("aux");
    r->text = dup_text("+OK bob");
    brennic_result *copy = r;
    EXPECT_EQ(free_result(&r), 1);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(free_result(&r), 0);
    char expected[64];
    std::snprintf(expected, sizeof expected, "brennic_Free (%p)", static_cast<void *>(copy));
    EXPECT_EQ(count_log(expected), 1);
    std::snprintf(expected, sizeof expected, "brennic_Free (%p)", nullptr);
    EXPECT_EQ(count_log(expected), 1);
}

TEST_F(PendingList, FreeOfALinkedRecordTakesItOutFirst) {
    brennic_result *older = link(1);
    brennic_result *middle = new_result(); // released below, not owned by the fixture
    middle->id = 2;
    link_pending(middle);
    brennic_result *newer = link(3);
    ASSERT_EQ(free_result(&middle), 1);
    EXPECT_EQ(rlist, newer);
    EXPECT_EQ(newer->next, older);
    EXPECT_EQ(older->next, nullptr);
}

TEST_F(PendingList, LookupAndFreeidTakeTheNewestOfAnId) {
    brennic_result *older = link(5);
    brennic_result *newer = link(5);
    EXPECT_EQ(find_by_id(5), newer);
    EXPECT_EQ(find_by_id(6), nullptr);
    EXPECT_EQ(freeid(5), newer);
    EXPECT_EQ(rlist, older);
    EXPECT_EQ(newer->next, older) << "the taken-out record keeps its next";
}

TEST_F(PendingList, FreeidOfHeadMiddleAndMissing) {
    brennic_result *c = link(3);
    brennic_result *b = link(2);
    brennic_result *a = link(1);
    // Middle: its predecessor is linked to its successor.
    EXPECT_EQ(freeid(2), b);
    EXPECT_EQ(a->next, c);
    char expected[96];
    std::snprintf(expected, sizeof expected, "freeid, point %p to %p",
                  static_cast<void *>(&a->next), static_cast<void *>(c));
    EXPECT_EQ(count_log(expected), 1) << dump_log();
    std::snprintf(expected, sizeof expected, "nextone = %p->%p ", static_cast<void *>(a),
                  static_cast<void *>(&a->next));
    EXPECT_EQ(count_log(expected), 1);
    // Head.
    EXPECT_EQ(freeid(1), a);
    EXPECT_EQ(rlist, c);
    // Missing: one "nextone" per record, nothing changes.
    clear_log();
    EXPECT_EQ(freeid(9), nullptr);
    EXPECT_EQ(rlist, c);
    std::snprintf(expected, sizeof expected, "rlits = %p ", static_cast<const void *>(&rlist));
    EXPECT_EQ(count_log(expected), 1);
    EXPECT_EQ(count_log_prefix("nextone = "), 1);
}

TEST_F(PendingList, FreeidOnAnEmptyListLogsOnlyTheHead) {
    EXPECT_EQ(freeid(1), nullptr);
    ASSERT_EQ(log_lines().size(), 1u) << dump_log();
    EXPECT_EQ(log_lines()[0].text.rfind("rlits = ", 0), 0u);
}

TEST_F(PendingList, FindFailedGivesTheNewestFlagged) {
    link(1)->failed = 1;
    brennic_result *newer = link(2);
    newer->failed = 1;
    link(3);
    brennic_result *out = nullptr;
    EXPECT_EQ(find_failed(&out), 1);
    EXPECT_EQ(out, newer);
    EXPECT_EQ(rlist->id, 3) << "the record stays linked";

    newer->failed = 0;
    rlist->next->next->failed = 0;
    brennic_result sentinel{};
    out = &sentinel;
    EXPECT_EQ(find_failed(&out), 0);
    EXPECT_EQ(out, &sentinel);
}

TEST_F(PendingList, MarkHostFailedFlagsOnlyThatHostsRecords) {
    hosts[0].open = 1;
    hosts[0].sock = -1;
    brennic_result *mine1 = link(1, &hosts[0]);
    brennic_result *other = link(2, &hosts[1]);
    brennic_result *mine2 = link(3, &hosts[0]);
    EXPECT_EQ(mark_host_failed(&hosts[0]), 1);
    EXPECT_EQ(hosts[0].open, 0);
    EXPECT_EQ(hosts[0].sock, -1);
    EXPECT_EQ(mine1->failed, 1);
    EXPECT_EQ(mine2->failed, 1);
    EXPECT_EQ(other->failed, 0);
    EXPECT_EQ(count_log_prefix("Set failed "), 2);
    char expected[96];
    std::snprintf(expected, sizeof expected, "Set failed %p %p 1 ", static_cast<void *>(mine2),
                  static_cast<void *>(other));
    EXPECT_EQ(count_log(expected, kLevelInfo), 1) << dump_log();
    // Flagged records are flagged and logged again.
    mark_host_failed(&hosts[0]);
    EXPECT_EQ(count_log_prefix("Set failed "), 4);
}

TEST_F(PendingList, AllocationFailureGivesNoRecord) {
    hooks.alloc_zeroed = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(new_result(), nullptr);
    EXPECT_EQ(dup_text("x"), nullptr);
    brennic_result *r = reinterpret_cast<brennic_result *>(this);
    EXPECT_EQ(request_lookup(-1, "bob", &r), 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(rlist, nullptr);
}

// The same operations with and without a log callback: the walk that logs and the side
// index must give the same results and leave the same list.

// short_of_memory: indexed, but one allocation in four of the index fails, so that it is
// dropped and built again over and over.
enum class log_mode { walk, indexed, alternating, short_of_memory };

std::minstd_rand allocation_dice;
int allocations_failed = 0;
void *sometimes_no_memory(std::size_t size) {
    if (allocation_dice() % 4 != 0) return std::malloc(size);
    ++allocations_failed;
    return nullptr;
}

// Runs a random mix of list operations and writes every result and the list after every
// step into a transcript. Records are named by their creation number; none is released
// before the end, so names never collide. extra_links weighs the mix towards linking, so
// that the list grows long and the index's tables grow with it.
std::string run_list_script(unsigned seed, log_mode mode, int steps, int extra_links = 0) {
    reset_library();
    clear_log();
    set_log_callback(mode == log_mode::indexed || mode == log_mode::short_of_memory ? nullptr
                                                                                    : capture_log);
    if (mode == log_mode::short_of_memory) {
        allocation_dice.seed(seed);
        hooks.allocate = sometimes_no_memory;
    }
    std::minstd_rand rng(seed);
    std::minstd_rand toggle(seed + 1000); // its own stream, so every mode runs the same steps
    auto pick = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<brennic_result *> made;
    std::unordered_map<const brennic_result *, std::size_t> number;
    auto name = [&number](const brennic_result *r) {
        if (r == nullptr) return std::string("null");
        auto it = number.find(r);
        return it == number.end() ? std::string("stranger") : std::to_string(it->second);
    };
    std::string out;
    for (int step = 0; step < steps; ++step) {
        if (mode == log_mode::alternating && toggle() % 7 == 0)
            set_log_callback(log_enabled() ? nullptr : capture_log);
        const std::int32_t id = pick(6) - 1;
        int op = made.empty() ? 0 : pick(10 + extra_links);
        if (op >= 10) op = 0;
        out += std::to_string(op) + ":";
        switch (op) {
        case 0:
        case 1: { // linked at the head, as dispatch does
            brennic_result *r = new_result();
            r->id = id;
            r->host = &hosts[pick(2)];
            link_pending(r);
            number[r] = made.size();
            made.push_back(r);
            break;
        }
        case 2:
            out += name(find_by_id(id));
            break;
        case 3:
            out += name(freeid(id));
            break;
        case 4:
            out += take_out(made[pick(static_cast<int>(made.size()))]) ? "1" : "0";
            break;
        case 5:
            out += take_out_quietly(made[pick(static_cast<int>(made.size()))]) ? "1" : "0";
            break;
        case 6: {
            brennic_result sentinel{};
            brennic_result *got = &sentinel;
            const int found = find_failed(&got);
            out += std::to_string(found) + (got == &sentinel ? std::string("=") : name(got));
            break;
        }
        case 7:
            mark_host_failed(&hosts[pick(2)]);
            break;
        case 8: { // collected as a poll collects a flagged result
            brennic_result *got = nullptr;
            if (find_failed(&got) == 1) out += name(got) + (take_out(got) ? "+" : "-");
            break;
        }
        case 9: // dispatch clears the flag of a record that a later host took
            for (brennic_result *r = rlist; r != nullptr; r = r->next)
                if (r->failed != 0 && pick(2) == 0) {
                    r->failed = 0;
                    break;
                }
            break;
        }
        out += " [";
        for (const brennic_result *r = rlist; r != nullptr; r = r->next)
            out += name(r) + (r->failed != 0 ? "f " : " ");
        out += "]\n";
    }
    set_log_callback(capture_log);
    for (brennic_result *r : made) {
        take_out_quietly(r);
        std::free(r);
    }
    EXPECT_EQ(rlist, nullptr);
    return out;
}

TEST(PendingListModes, WalkAndIndexGiveTheSameResults) {
    allocations_failed = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const std::string walk = run_list_script(seed, log_mode::walk, 400);
        EXPECT_EQ(run_list_script(seed, log_mode::indexed, 400), walk) << "seed " << seed;
        EXPECT_EQ(run_list_script(seed, log_mode::alternating, 400), walk) << "seed " << seed;
        EXPECT_EQ(run_list_script(seed, log_mode::short_of_memory, 400), walk) << "seed " << seed;
        const std::string long_walk = run_list_script(seed, log_mode::walk, 400, 10);
        EXPECT_EQ(run_list_script(seed, log_mode::short_of_memory, 400, 10), long_walk)
            << "seed " << seed;
    }
    EXPECT_GT(allocations_failed, 0) << "the index never ran out of memory";
    reset_library();
}

class PendingIndex : public PendingList {
  protected:
    void SetUp() override {
        PendingList::SetUp();
        set_log_callback(nullptr);
    }
};

TEST_F(PendingIndex, RepliesCollectedOldestFirstLeaveTheListInOrder) {
    constexpr int kCount = 3000;
    auto id_of = [](int i) { return i % 7 == 0 ? -1 : i; };
    std::vector<brennic_result *> records;
    std::vector<bool> gone(kCount, false);
    for (int i = 0; i < kCount; ++i)
        records.push_back(link(id_of(i)));
    // Replies come back in the order the requests went out; for the shared id the newest
    // linked record wins, as with the walk.
    for (int i = 0; i < kCount; ++i) {
        int want = i;
        if (id_of(i) == -1)
            for (int j = kCount - 1; j >= 0; --j)
                if (id_of(j) == -1 && !gone[static_cast<std::size_t>(j)]) {
                    want = j;
                    break;
                }
        brennic_result *found = find_by_id(id_of(i));
        ASSERT_EQ(found, records[static_cast<std::size_t>(want)]) << "reply " << i;
        ASSERT_TRUE(take_out(found));
        ASSERT_FALSE(take_out(found)) << "taken out once only";
        gone[static_cast<std::size_t>(want)] = true;
    }
    EXPECT_EQ(rlist, nullptr);
    brennic_result *out = nullptr;
    EXPECT_EQ(find_failed(&out), 0);
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(PendingIndex, MiddleAndHeadRemovalsRelinkTheNeighbours) {
    brennic_result *c = link(3);
    brennic_result *b = link(2);
    brennic_result *a = link(1);
    EXPECT_EQ(find_by_id(3), c);
    EXPECT_EQ(freeid(2), b);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(b->next, c) << "the taken-out record keeps its next";
    EXPECT_EQ(freeid(1), a);
    EXPECT_EQ(rlist, c);
    brennic_result *d = link(4);
    EXPECT_EQ(freeid(3), c) << "the oldest, now after a newer head";
    EXPECT_EQ(d->next, nullptr);
    EXPECT_EQ(freeid(9), nullptr);
    EXPECT_EQ(rlist, d);
}

TEST_F(PendingIndex, FlaggedRecordsAreFoundAndCounted) {
    brennic_result *mine = link(1, &hosts[0]);
    link(2, &hosts[1]);
    brennic_result *out = nullptr;
    EXPECT_EQ(find_failed(&out), 0);
    mark_host_failed(&hosts[0]);
    ASSERT_EQ(find_failed(&out), 1);
    EXPECT_EQ(out, mine);
    // A record flagged before it was first seen is found too (dispatch with no host).
    brennic_result *unsent = link(3);
    flag_failed(unsent);
    ASSERT_EQ(find_failed(&out), 1);
    EXPECT_EQ(out, unsent);
    EXPECT_TRUE(take_out(unsent));
    EXPECT_TRUE(take_out(mine));
    EXPECT_EQ(find_failed(&out), 0);
    // A flag cleared behind the count's back is not reported.
    brennic_result *again = link(4, &hosts[0]);
    mark_host_failed(&hosts[0]);
    again->failed = 0;
    out = nullptr;
    EXPECT_EQ(find_failed(&out), 0);
    EXPECT_EQ(out, nullptr);
}

TEST_F(PendingIndex, AResetForgetsTheListAndItsIndex) {
    brennic_result *old1 = link(1);
    link(2);
    EXPECT_EQ(find_by_id(1), old1);
    reset_pending();
    EXPECT_EQ(rlist, nullptr);
    brennic_result *fresh = link(2);
    EXPECT_EQ(find_by_id(1), nullptr);
    EXPECT_EQ(find_by_id(2), fresh);
    EXPECT_FALSE(take_out_quietly(old1));
    EXPECT_EQ(freeid(2), fresh);
    EXPECT_EQ(rlist, nullptr);
    // The same with the whole library reset and its head record reused at once.
    brennic_result *h = link(5);
    EXPECT_EQ(find_by_id(5), h);
    reset_library();
    h->id = 6;
    link_pending(h);
    EXPECT_EQ(find_by_id(5), nullptr);
    EXPECT_EQ(find_by_id(6), h);
    EXPECT_EQ(freeid(6), h);
    EXPECT_EQ(rlist, nullptr);
}

void *no_memory(std::size_t) { return nullptr; }

TEST_F(PendingIndex, WithoutMemoryTheListIsWalkedUntilTheIndexCanBeBuiltAgain) {
    std::vector<brennic_result *> r;
    for (int i = 0; i < 8; ++i)
        r.push_back(link(i));
    EXPECT_EQ(find_by_id(3), r[3]);
    ASSERT_TRUE(index_on());
    // The ninth record needs larger tables, which cannot be had: the index goes.
    hooks.allocate = no_memory;
    r.push_back(link(8));
    EXPECT_FALSE(index_on());
    EXPECT_EQ(find_by_id(8), r[8]);
    EXPECT_EQ(freeid(0), r[0]);
    EXPECT_TRUE(take_out(r[8]));
    EXPECT_FALSE(index_on());
    // With memory again the index is built from the list as it now stands.
    reset_hooks();
    EXPECT_EQ(find_by_id(5), r[5]);
    EXPECT_TRUE(index_on());
    EXPECT_EQ(find_by_id(8), nullptr);
    EXPECT_EQ(find_by_id(0), nullptr);
    EXPECT_EQ(freeid(1), r[1]);
    EXPECT_EQ(r[2]->next, nullptr) << "the oldest left";
    EXPECT_EQ(rlist, r[7]);
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(PendingIndex, FreeTakesALinkedRecordOut) {
    brennic_result *older = link(1);
    brennic_result *middle = new_result();
    middle->id = 2;
    link_pending(middle);
    brennic_result *newer = link(3);
    EXPECT_EQ(find_by_id(2), middle);
    ASSERT_EQ(free_result(&middle), 1);
    EXPECT_EQ(rlist, newer);
    EXPECT_EQ(newer->next, older);
    EXPECT_EQ(find_by_id(2), nullptr);
}

} // namespace
} // namespace brennic::test

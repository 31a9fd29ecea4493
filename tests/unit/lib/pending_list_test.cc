// Result records and the pending list.
#include <cstdlib>
#include <cstring>

#include "support.h"

namespace brennic::test {
namespace {

class PendingList : public LibraryTest {
  protected:
    // Links a record at the head, as dispatch does.
    brennic_result *link(std::int32_t id, brennic_host *host = nullptr) {
        brennic_result *r = new_result();
        r->id = id;
        r->host = host;
        r->next = rlist;
        rlist = r;
        owned.push_back(r);
        return r;
    }
    void TearDown() override {
        for (brennic_result *r : owned) {
            unlink_result(r);
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
    middle->next = rlist;
    rlist = middle;
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
    std::snprintf(expected, sizeof expected, "rlits = %p ", static_cast<void *>(&rlist));
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
    seams.alloc_zeroed = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(new_result(), nullptr);
    EXPECT_EQ(dup_text("x"), nullptr);
    brennic_result *r = reinterpret_cast<brennic_result *>(this);
    EXPECT_EQ(request_lookup(-1, "bob", &r), 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(rlist, nullptr);
}

} // namespace
} // namespace brennic::test

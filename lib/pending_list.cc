// Result records and the pending list rlist: newest first, singly linked through next.
// The list borrows records; their owners release them.
//
// Replies come back oldest first while the list keeps the newest at its head, so walking
// the list for every collected reply costs time in the square of the requests in flight.
// The walk is kept where it produces diagnostics ("rlits", "nextone", "freeid, point"),
// that is whenever a log callback is registered. Without one, a side index answers the
// same questions in constant time: record -> predecessor, and id -> its linked records in
// link order, newest last. The list itself stays exactly as callers see it through next.
//
// Records enter the list at its head outside this file (dispatch links them), so the
// index catches up lazily: every operation first indexes the records linked above the
// head it saw last. A list that changed in any other way (emptied by a reset, or its head
// no longer followed by what it was) is indexed afresh. The index allocates with malloc
// and, when memory runs out, is dropped: the operations then walk the list as they do
// with a log callback, with the same results.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/diag.h"
#include "lib/state.h"
#include "net/tcp.h"

namespace brennic {
namespace {

// Walks the list holding the link that points at the current record and takes out the
// first record that matches, logging each step.
template <typename Match> brennic_result *take_out_first(Match match) {
    log_info("rlits = %p\n", static_cast<void *>(&rlist));
    for (brennic_result **link = &rlist; *link != nullptr; link = &(*link)->next) {
        brennic_result *r = *link;
        if (match(r)) {
            log_info("freeid, point %p to %p", static_cast<void *>(link),
                     static_cast<void *>(r->next));
            *link = r->next; // the record keeps its own next
            return r;
        }
        log_info("nextone = %p->%p\n", static_cast<void *>(r), static_cast<void *>(&r->next));
    }
    return nullptr;
}

constexpr std::int32_t kNone = -1;
constexpr std::int32_t kMinSlots = 16;

// One linked record.
struct entry {
    brennic_result *record;
    brennic_result *pred; // the record before it in the list; nullptr at the head
    std::int32_t id;      // its id when it was indexed
    std::int32_t older;   // entry of the next older linked record with this id, or kNone
    std::int32_t newer;   // entry of the next newer one, or kNone; free list link when free
};

// The linked records of one id, reached through the newest.
struct id_slot {
    std::int32_t id;
    std::int32_t newest; // kNone marks an empty slot
};

std::uint32_t hash_bits(std::uint64_t key, std::uint32_t mask) {
    return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

struct pending_index {
    bool valid = false;
    brennic_result *head = nullptr;      // rlist when last seen
    brennic_result *head_next = nullptr; // head->next when last seen
    std::int32_t head_id = 0;            // head->id when last seen
    std::int32_t flagged = 0;            // linked records with failed set; never too low

    entry *entries = nullptr;
    std::int32_t entry_cap = 0;
    std::int32_t free_entry = kNone;
    std::int32_t used_entries = 0; // entries handed out since the last clear

    std::int32_t *by_record = nullptr; // entry indexes, kNone when empty
    std::int32_t record_mask = 0;      // slots - 1
    std::int32_t records = 0;

    id_slot *by_id = nullptr;
    std::int32_t id_mask = 0;
    std::int32_t ids = 0;

    brennic_result **scratch = nullptr; // records found above the head, newest first
    std::int32_t scratch_cap = 0;
};

pending_index idx;

void drop_index() {
    std::free(idx.entries);
    std::free(idx.by_record);
    std::free(idx.by_id);
    std::free(idx.scratch);
    idx = pending_index{};
}

// The index's storage goes back at exit, so a memory checker sees every block freed.
struct index_release {
    ~index_release() { drop_index(); }
} release_at_exit;

std::uint32_t record_home(const brennic_result *r) {
    return hash_bits(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(r)),
                     static_cast<std::uint32_t>(idx.record_mask));
}

std::uint32_t id_home(std::int32_t id) {
    return hash_bits(static_cast<std::uint32_t>(id), static_cast<std::uint32_t>(idx.id_mask));
}

// Slot of record in by_record, or kNone.
std::int32_t record_slot(const brennic_result *r) {
    if (idx.by_record == nullptr) return kNone;
    for (std::uint32_t s = record_home(r);;
         s = (s + 1) & static_cast<std::uint32_t>(idx.record_mask)) {
        const std::int32_t e = idx.by_record[s];
        if (e == kNone) return kNone;
        if (idx.entries[e].record == r) return static_cast<std::int32_t>(s);
    }
}

std::int32_t entry_of(const brennic_result *r) {
    const std::int32_t s = record_slot(r);
    return s == kNone ? kNone : idx.by_record[s];
}

std::int32_t id_slot_of(std::int32_t id) {
    if (idx.by_id == nullptr) return kNone;
    for (std::uint32_t s = id_home(id);; s = (s + 1) & static_cast<std::uint32_t>(idx.id_mask)) {
        if (idx.by_id[s].newest == kNone) return kNone;
        if (idx.by_id[s].id == id) return static_cast<std::int32_t>(s);
    }
}

void place_record(std::int32_t e) {
    std::uint32_t s = record_home(idx.entries[e].record);
    while (idx.by_record[s] != kNone)
        s = (s + 1) & static_cast<std::uint32_t>(idx.record_mask);
    idx.by_record[s] = e;
}

// Slot for a new id, which is not in the table.
std::uint32_t free_id_slot(std::int32_t id) {
    std::uint32_t s = id_home(id);
    while (idx.by_id[s].newest != kNone)
        s = (s + 1) & static_cast<std::uint32_t>(idx.id_mask);
    return s;
}

// Both tables stay at most half full. false when memory ran out.
bool grow_record_table() {
    if ((idx.records + 1) * 2 <= idx.record_mask + 1) return true;
    const std::int32_t slots = idx.record_mask == 0 ? kMinSlots : (idx.record_mask + 1) * 2;
    auto *fresh = static_cast<std::int32_t *>(std::malloc(sizeof(std::int32_t) * slots));
    if (fresh == nullptr) return false;
    for (std::int32_t i = 0; i < slots; ++i)
        fresh[i] = kNone;
    std::int32_t *old = idx.by_record;
    const std::int32_t old_slots = old == nullptr ? 0 : idx.record_mask + 1;
    idx.by_record = fresh;
    idx.record_mask = slots - 1;
    for (std::int32_t i = 0; i < old_slots; ++i)
        if (old[i] != kNone) place_record(old[i]);
    std::free(old);
    return true;
}

bool grow_id_table() {
    if ((idx.ids + 1) * 2 <= idx.id_mask + 1) return true;
    const std::int32_t slots = idx.id_mask == 0 ? kMinSlots : (idx.id_mask + 1) * 2;
    auto *fresh = static_cast<id_slot *>(std::malloc(sizeof(id_slot) * slots));
    if (fresh == nullptr) return false;
    for (std::int32_t i = 0; i < slots; ++i)
        fresh[i] = id_slot{0, kNone};
    id_slot *old = idx.by_id;
    const std::int32_t old_slots = old == nullptr ? 0 : idx.id_mask + 1;
    idx.by_id = fresh;
    idx.id_mask = slots - 1;
    for (std::int32_t i = 0; i < old_slots; ++i)
        if (old[i].newest != kNone) idx.by_id[free_id_slot(old[i].id)] = old[i];
    std::free(old);
    return true;
}

std::int32_t new_entry() {
    if (idx.free_entry != kNone) {
        const std::int32_t e = idx.free_entry;
        idx.free_entry = idx.entries[e].newer;
        return e;
    }
    if (idx.used_entries == idx.entry_cap) {
        const std::int32_t cap = idx.entry_cap == 0 ? kMinSlots : idx.entry_cap * 2;
        auto *fresh = static_cast<entry *>(std::realloc(idx.entries, sizeof(entry) * cap));
        if (fresh == nullptr) return kNone;
        idx.entries = fresh;
        idx.entry_cap = cap;
    }
    return idx.used_entries++;
}

// Linear probing: later entries of the run move up into the emptied slot when their home
// allows it, so lookups never need tombstones.
template <typename Slot, typename Home, typename Empty>
void erase_slot(Slot *table, std::uint32_t mask, std::uint32_t hole, Home home, Empty empty,
                Slot vacant) {
    for (std::uint32_t j = (hole + 1) & mask; !empty(table[j]); j = (j + 1) & mask) {
        const std::uint32_t k = home(table[j]);
        // table[j] stays when its home lies cyclically in (hole, j].
        const bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
        if (!stays) {
            table[hole] = table[j];
            hole = j;
        }
    }
    table[hole] = vacant;
}

void erase_record_slot(std::int32_t slot) {
    erase_slot(
        idx.by_record, static_cast<std::uint32_t>(idx.record_mask),
        static_cast<std::uint32_t>(slot),
        [](std::int32_t e) { return record_home(idx.entries[e].record); },
        [](std::int32_t e) { return e == kNone; }, kNone);
    --idx.records;
}

void erase_id_slot(std::int32_t slot) {
    erase_slot(
        idx.by_id, static_cast<std::uint32_t>(idx.id_mask), static_cast<std::uint32_t>(slot),
        [](const id_slot &s) { return id_home(s.id); },
        [](const id_slot &s) { return s.newest == kNone; }, id_slot{0, kNone});
    --idx.ids;
}

// Indexes r, which follows pred in the list and is newer than every record indexed so far.
// false when memory ran out.
bool add_record(brennic_result *r, brennic_result *pred) {
    if (!grow_record_table() || !grow_id_table()) return false;
    const std::int32_t e = new_entry();
    if (e == kNone) return false;
    entry &x = idx.entries[e];
    x.record = r;
    x.pred = pred;
    x.id = r->id;
    x.newer = kNone;
    std::int32_t s = id_slot_of(r->id);
    if (s == kNone) {
        s = static_cast<std::int32_t>(free_id_slot(r->id));
        idx.by_id[s] = id_slot{r->id, kNone};
        ++idx.ids;
    }
    x.older = idx.by_id[s].newest;
    if (x.older != kNone) idx.entries[x.older].newer = e;
    idx.by_id[s].newest = e;
    place_record(e);
    ++idx.records;
    if (r->failed != 0) ++idx.flagged;
    return true;
}

void clear_index() {
    if (idx.by_record != nullptr)
        for (std::int32_t i = 0; i <= idx.record_mask; ++i)
            idx.by_record[i] = kNone;
    if (idx.by_id != nullptr)
        for (std::int32_t i = 0; i <= idx.id_mask; ++i)
            idx.by_id[i] = id_slot{0, kNone};
    idx.records = 0;
    idx.ids = 0;
    idx.used_entries = 0;
    idx.free_entry = kNone;
    idx.flagged = 0;
    idx.head = nullptr;
    idx.head_next = nullptr;
    idx.head_id = 0;
    idx.valid = true;
}

enum class catch_up { done, start_over, failed };

// Indexes the records linked above the head seen last, oldest first.
catch_up index_new_records() {
    std::int32_t n = 0;
    for (brennic_result *r = rlist; r != idx.head; r = r->next) {
        if (r == nullptr) return catch_up::start_over; // the old head left the list
        if (n == idx.scratch_cap) {
            const std::int32_t cap = idx.scratch_cap == 0 ? kMinSlots : idx.scratch_cap * 2;
            auto *fresh = static_cast<brennic_result **>(
                std::realloc(idx.scratch, sizeof(brennic_result *) * cap));
            if (fresh == nullptr) return catch_up::failed;
            idx.scratch = fresh;
            idx.scratch_cap = cap;
        }
        idx.scratch[n++] = r;
    }
    // The head seen last must still be that record, followed by what followed it.
    const std::int32_t head_entry = idx.head != nullptr ? entry_of(idx.head) : kNone;
    if (idx.head != nullptr &&
        (head_entry == kNone || idx.head->next != idx.head_next || idx.head->id != idx.head_id))
        return catch_up::start_over;
    for (std::int32_t i = n - 1; i >= 0; --i) {
        brennic_result *r = idx.scratch[i];
        if (entry_of(r) != kNone) return catch_up::start_over; // linked twice, or stale
        if (!add_record(r, i == 0 ? nullptr : idx.scratch[i - 1])) return catch_up::failed;
    }
    if (n > 0) {
        if (head_entry != kNone) idx.entries[head_entry].pred = idx.scratch[n - 1];
        idx.head = rlist;
        idx.head_next = rlist->next;
        idx.head_id = rlist->id;
    }
    return catch_up::done;
}

// Brings the index in step with the list; false when it cannot be had (no memory), and
// the caller then walks the list.
bool index_ready() {
    if (idx.valid && rlist == idx.head &&
        (rlist == nullptr || (rlist->next == idx.head_next && rlist->id == idx.head_id)))
        return true;
    if (!idx.valid || rlist == nullptr) clear_index();
    for (int attempt = 0; attempt < 2; ++attempt) {
        switch (index_new_records()) {
        case catch_up::done:
            return true;
        case catch_up::failed:
            drop_index();
            return false;
        case catch_up::start_over:
            clear_index();
            break;
        }
    }
    drop_index();
    return false;
}

// Takes the record of entry e out of the list and the index. The record keeps its next.
void take_out_entry(std::int32_t e) {
    const entry x = idx.entries[e];
    brennic_result *r = x.record;
    brennic_result *succ = r->next;
    if (x.pred != nullptr)
        x.pred->next = succ;
    else
        rlist = succ;
    if (succ != nullptr) {
        const std::int32_t se = entry_of(succ);
        if (se != kNone)
            idx.entries[se].pred = x.pred;
        else
            idx.valid = false; // cannot happen while the index is in step; index afresh
    }
    if (idx.head == r) {
        idx.head = succ;
        idx.head_next = succ != nullptr ? succ->next : nullptr;
        idx.head_id = succ != nullptr ? succ->id : 0;
    } else if (idx.head == x.pred) {
        idx.head_next = succ;
    }

    const std::int32_t s = id_slot_of(x.id);
    if (x.newer != kNone)
        idx.entries[x.newer].older = x.older;
    else
        idx.by_id[s].newest = x.older;
    if (x.older != kNone) idx.entries[x.older].newer = x.newer;
    if (idx.by_id[s].newest == kNone) erase_id_slot(s);

    erase_record_slot(record_slot(r));
    idx.entries[e].newer = idx.free_entry;
    idx.free_entry = e;
    if (r->failed != 0 && idx.flagged > 0) --idx.flagged;
}

// The walking operations leave the list in a state the index has not seen.
void forget_index() { idx.valid = false; }

bool walk_unlink(brennic_result *result) {
    for (brennic_result **link = &rlist; *link != nullptr; link = &(*link)->next) {
        if (*link == result) {
            *link = result->next;
            return true;
        }
    }
    return false;
}

} // namespace

char *dup_text(const char *text) {
    const std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(seams.alloc_zeroed(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

brennic_result *new_result() noexcept {
    auto *r = static_cast<brennic_result *>(seams.alloc_zeroed(sizeof(brennic_result)));
    log_info("Allocated new result %p \n", static_cast<void *>(r));
    if (r != nullptr) std::memset(r, 0, sizeof *r);
    return r;
}

int free_result(brennic_result **result) noexcept {
    brennic_result *r = *result;
    log_info("brennic_Free (%p)", static_cast<void *>(r));
    if (r == nullptr) return 0;
    // The list never holds released memory, whichever path handed the record over.
    unlink_result(r);
    std::free(r->user);
    std::free(r->aux);
    std::free(r->text);
    std::free(r);
    *result = nullptr;
    return 1;
}

namespace {
// Takes out this very record through the index: false when it is not linked.
bool take_out_indexed(brennic_result *result) {
    const std::int32_t e = entry_of(result);
    if (e == kNone) return false;
    take_out_entry(e);
    return true;
}
} // namespace

bool unlink_result(brennic_result *result) {
    if (!log_enabled() && index_ready()) return take_out_indexed(result);
    forget_index();
    return walk_unlink(result);
}

int find_failed(brennic_result **out) {
    const bool indexed = !log_enabled() && index_ready();
    if (!indexed) forget_index();
    if (indexed && idx.flagged == 0) return 0;
    for (brennic_result *r = rlist; r != nullptr; r = r->next) {
        if (r->failed != 0) {
            *out = r;
            return 1;
        }
    }
    if (indexed) idx.flagged = 0; // a flag was cleared behind the count's back
    return 0;
}

int mark_host_failed(brennic_host *host) {
    if (host->sock != kNoSocket) close_socket(host->sock);
    host->sock = kNoSocket;
    host->open = 0;
    const bool indexed = !log_enabled() && index_ready();
    if (!indexed) forget_index();
    std::int32_t flagged = 0;
    for (brennic_result *r = rlist; r != nullptr; r = r->next) {
        if (r->host == host) {
            r->failed = 1;
            log_info("Set failed %p %p %d\n", static_cast<void *>(r), static_cast<void *>(r->next),
                     static_cast<int>(r->failed));
        }
        if (r->failed != 0) ++flagged;
    }
    if (indexed) idx.flagged = flagged;
    return 1;
}

brennic_result *find_by_id(std::int32_t id) {
    if (!log_enabled() && index_ready()) {
        const std::int32_t s = id_slot_of(id);
        return s == kNone ? nullptr : idx.entries[idx.by_id[s].newest].record;
    }
    forget_index();
    for (brennic_result *r = rlist; r != nullptr; r = r->next)
        if (r->id == id) return r;
    return nullptr;
}

brennic_result *freeid(std::int32_t id) {
    if (!log_enabled() && index_ready()) {
        const std::int32_t s = id_slot_of(id);
        if (s == kNone) return nullptr;
        const std::int32_t e = idx.by_id[s].newest;
        brennic_result *r = idx.entries[e].record;
        take_out_entry(e);
        return r;
    }
    forget_index();
    return take_out_first([id](const brennic_result *r) { return r->id == id; });
}

bool take_out(brennic_result *result) {
    if (!log_enabled() && index_ready()) return take_out_indexed(result);
    forget_index();
    return take_out_first([result](const brennic_result *r) { return r == result; }) != nullptr;
}

void drop_pending_index() { drop_index(); }

} // namespace brennic

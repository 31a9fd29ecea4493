// The pending list's side index. Replies come back oldest first while the list keeps the
// newest at its head, so walking the list for every collected reply costs time in the
// square of the requests in flight; the index answers the same questions in constant time.
//
// Two open-addressing tables with linear probing, each at most half full: by_record maps a
// record to its entry, by_id maps an id to the newest entry of that id. An entry holds the
// record's predecessor in the list and links to the next older and newer entries of its id.
// Storage comes from hooks.allocate, so that tests can make it run out.
#include "lib/pending_index.h"

#include <cstdlib>
#include <cstring>

#include "lib/hooks.h"

namespace brennic {
namespace {

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

struct side_index {
    bool on = false;

    entry *entries = nullptr;
    std::int32_t entry_cap = 0;
    std::int32_t free_entry = kNone;
    std::int32_t used_entries = 0; // entries handed out since the index was built

    std::int32_t *by_record = nullptr; // entry indexes, kNone when empty
    std::int32_t record_mask = 0;      // slots - 1
    std::int32_t records = 0;

    id_slot *by_id = nullptr;
    std::int32_t id_mask = 0;
    std::int32_t ids = 0;
};

side_index idx;

// The index's storage goes back at exit, so a memory checker sees every block freed.
struct release_at_exit {
    ~release_at_exit() { index_release(); }
} release_at_exit_;

template <typename T> T *allocate_array(std::int32_t count) {
    return static_cast<T *>(hooks.allocate(sizeof(T) * static_cast<std::size_t>(count)));
}

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
    auto *fresh = allocate_array<std::int32_t>(slots);
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
    auto *fresh = allocate_array<id_slot>(slots);
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
        auto *fresh = allocate_array<entry>(cap);
        if (fresh == nullptr) return kNone;
        if (idx.entries != nullptr)
            std::memcpy(fresh, idx.entries,
                        sizeof(entry) * static_cast<std::size_t>(idx.entry_cap));
        std::free(idx.entries);
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
    return true;
}

// Empties the tables and keeps their storage.
void clear_tables() {
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
}

} // namespace

bool index_on() { return idx.on; }

bool index_build(brennic_result *head) {
    clear_tables();
    std::int32_t count = 0;
    for (const brennic_result *r = head; r != nullptr; r = r->next)
        ++count;
    // Records are indexed oldest first, so the newest of an id ends up newest.
    brennic_result **order = nullptr;
    if (count > 0) {
        order = allocate_array<brennic_result *>(count);
        if (order == nullptr) {
            index_release();
            return false;
        }
        std::int32_t i = 0;
        for (brennic_result *r = head; r != nullptr; r = r->next)
            order[i++] = r;
    }
    bool built = true;
    for (std::int32_t i = count - 1; i >= 0 && built; --i)
        built = add_record(order[i], i == 0 ? nullptr : order[i - 1]);
    std::free(order);
    if (!built) {
        index_release();
        return false;
    }
    idx.on = true;
    return true;
}

void index_linked(brennic_result *head) {
    if (!idx.on) return;
    const std::int32_t old_head = head->next != nullptr ? entry_of(head->next) : kNone;
    if (!add_record(head, nullptr)) {
        index_release();
        return;
    }
    if (old_head != kNone) idx.entries[old_head].pred = head;
}

void index_taken_out(brennic_result *result) {
    const std::int32_t e = entry_of(result);
    const entry x = idx.entries[e];
    if (result->next != nullptr) idx.entries[entry_of(result->next)].pred = x.pred;

    const std::int32_t s = id_slot_of(x.id);
    if (x.newer != kNone)
        idx.entries[x.newer].older = x.older;
    else
        idx.by_id[s].newest = x.older;
    if (x.older != kNone) idx.entries[x.older].newer = x.newer;
    if (idx.by_id[s].newest == kNone) erase_id_slot(s);

    erase_record_slot(record_slot(result));
    idx.entries[e].newer = idx.free_entry;
    idx.free_entry = e;
}

bool index_holds(const brennic_result *result) { return entry_of(result) != kNone; }

brennic_result *index_before(const brennic_result *result) {
    return idx.entries[entry_of(result)].pred;
}

brennic_result *index_newest(std::int32_t id) {
    const std::int32_t s = id_slot_of(id);
    return s == kNone ? nullptr : idx.entries[idx.by_id[s].newest].record;
}

brennic_result *index_older(const brennic_result *result) {
    const std::int32_t older = idx.entries[entry_of(result)].older;
    return older == kNone ? nullptr : idx.entries[older].record;
}

void index_release() {
    std::free(idx.entries);
    std::free(idx.by_record);
    std::free(idx.by_id);
    idx = side_index{};
}

} // namespace brennic

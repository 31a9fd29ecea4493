// Result records and the pending list. With a log callback registered the list is walked,
// which produces the diagnostics; without one the side index (lib/pending_index.cc) answers
// the same questions in constant time. The index is built the first time it is needed
// without a callback and kept in step by every change below; when its memory runs out it is
// dropped, and the list is walked, with the same results, until it can be built again.
#include "lib/pending_list.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "base/diag.h"
#include "lib/hooks.h"
#include "lib/pending_index.h"

namespace brennic {
namespace {

// Every record comes from new_result inside one of these: the library's own bookkeeping of a
// record follows the open part, where the caller never looks.
struct result_block {
    brennic_result record;
    // Where its request went out in its host's received stream; kNotSent while it is being
    // sent. 0 for a record linked without being sent, which any line of its id completes.
    std::int64_t sent_at;
    brennic_result *held_next; // the next newer held record
    // The link failure that flagged it: records flagged by one failure share the number.
    std::uint32_t failure;
};
static_assert(std::is_standard_layout_v<result_block> && offsetof(result_block, record) == 0,
              "a record's address is its block's");

constexpr std::int64_t kNotSent = INT64_MAX;

result_block *block_of(brennic_result *r) { return reinterpret_cast<result_block *>(r); }
const result_block *block_of(const brennic_result *r) {
    return reinterpret_cast<const result_block *>(r);
}

brennic_result *head = nullptr;

// Link failures so far, and the last one whose first collected record moved the current host.
std::uint32_t failures = 0;
std::uint32_t failure_rotated = 0;

// Held records, oldest first.
brennic_result *held_oldest = nullptr;
brennic_result *held_newest = nullptr;

const brennic_result *callback_record = nullptr;

// Takes result out of the held records; false when it is not held.
bool take_out_of_held(const brennic_result *result) {
    brennic_result *pred = nullptr;
    for (brennic_result *r = held_oldest; r != nullptr; r = block_of(r)->held_next) {
        if (r == result) {
            brennic_result *after = block_of(r)->held_next;
            if (pred != nullptr)
                block_of(pred)->held_next = after;
            else
                held_oldest = after;
            if (held_newest == r) held_newest = pred;
            block_of(r)->held_next = nullptr;
            return true;
        }
        pred = r;
    }
    return false;
}

// Linked records with the failed flag raised: never fewer than there are, so that a poll
// without a log callback skips the walk when it is 0.
std::int32_t flagged = 0;

// Whether the index answers: only without a log callback, and only while it can be had.
bool use_index() { return !log_enabled() && (index_on() || index_build(head)); }

// Takes result, which follows pred (nullptr: result is the head), out of the list.
void unlink_after(brennic_result *pred, brennic_result *result) {
    if (pred != nullptr)
        pred->next = result->next;
    else
        head = result->next;
    if (index_on()) index_taken_out(result);
    if (result->failed != 0 && flagged > 0) --flagged;
}

// Walks the list holding the link that points at the current record and takes out the
// first record that matches, logging each step when logged is set.
template <typename Match> brennic_result *walk_take_out(Match match, bool logged) {
    if (logged) log_info("rlits = %p\n", static_cast<void *>(&head));
    brennic_result *pred = nullptr;
    for (brennic_result **link = &head; *link != nullptr; link = &(*link)->next) {
        brennic_result *r = *link;
        if (match(r)) {
            if (logged)
                log_info("freeid, point %p to %p", static_cast<void *>(link),
                         static_cast<void *>(r->next));
            unlink_after(pred, r);
            return r;
        }
        if (logged)
            log_info("nextone = %p->%p\n", static_cast<void *>(r), static_cast<void *>(&r->next));
        pred = r;
    }
    return nullptr;
}

// Takes out this very record, through the index or by a walk.
bool take_out_record(brennic_result *result, bool logged) {
    if (use_index()) {
        if (!index_holds(result)) return false;
        unlink_after(index_before(result), result);
        return true;
    }
    return walk_take_out([result](const brennic_result *r) { return r == result; }, logged) !=
           nullptr;
}

} // namespace

brennic_result *const &rlist = head;

char *dup_text(const char *text) {
    const std::size_t length = std::strlen(text);
    auto *copy = static_cast<char *>(hooks.alloc_zeroed(length + 1));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

brennic_result *new_result() noexcept {
    auto *block = static_cast<result_block *>(hooks.alloc_zeroed(sizeof(result_block)));
    brennic_result *r = block != nullptr ? &block->record : nullptr;
    log_info("Allocated new result %p \n", static_cast<void *>(r));
    if (block != nullptr) std::memset(block, 0, sizeof *block);
    return r;
}

int free_result(brennic_result **result) noexcept {
    brennic_result *r = *result;
    log_info("brennic_Free (%p)", static_cast<void *>(r));
    if (r == nullptr) return 0;
    if (r == callback_record) {
        // The reader goes on with the record once its callback returns.
        log_error("brennic_Free (%p) refused: its line callback is running",
                  static_cast<void *>(r));
        return 0;
    }
    // Neither the list nor the held records ever hold released memory, whichever path
    // handed the record over.
    take_out_quietly(r);
    take_out_of_held(r);
    std::free(r->user);
    std::free(r->aux);
    std::free(r->text);
    std::free(r);
    *result = nullptr;
    return 1;
}

void link_pending(brennic_result *result) {
    result->next = head;
    head = result;
    if (result->failed != 0) ++flagged;
    index_linked(result);
}

void flag_failed(brennic_result *result) {
    if (result->failed == 0) ++flagged;
    result->failed = 1;
    block_of(result)->failure = ++failures;
}

void flag_results_of(const brennic_host *host) {
    std::int32_t count = 0;
    ++failures;
    for (brennic_result *r = head; r != nullptr; r = r->next) {
        if (r->host == host) {
            r->failed = 1;
            block_of(r)->failure = failures;
            log_info("Set failed %p %p %d\n", static_cast<void *>(r), static_cast<void *>(r->next),
                     static_cast<int>(r->failed));
        }
        if (r->failed != 0) ++count;
    }
    flagged = count;
}

brennic_result *find_by_id(std::int32_t id) {
    if (use_index()) return index_newest(id);
    for (brennic_result *r = head; r != nullptr; r = r->next)
        if (r->id == id) return r;
    return nullptr;
}

bool first_of_its_failure(const brennic_result *result) {
    const std::uint32_t failure = block_of(result)->failure;
    if (failure != 0 && failure == failure_rotated) return false;
    failure_rotated = failure;
    return true;
}

void note_sent_at(brennic_result *result, std::int64_t at) { block_of(result)->sent_at = at; }

void note_not_sent(brennic_result *result) { block_of(result)->sent_at = kNotSent; }

brennic_result *find_reply_to(const brennic_host *host, std::int32_t id, std::int64_t line_start) {
    const auto answers = [host, line_start](const brennic_result *r) {
        return r->host == host && block_of(r)->sent_at <= line_start;
    };
    if (use_index()) {
        // Records of one id are few: blocking requests are one at a time, and asynchronous
        // ones have ids of their own.
        for (brennic_result *r = index_newest(id); r != nullptr; r = index_older(r))
            if (answers(r)) return r;
        return nullptr;
    }
    for (brennic_result *r = head; r != nullptr; r = r->next)
        if (r->id == id && answers(r)) return r;
    return nullptr;
}

bool result_ready() {
    brennic_result *flagged_record = nullptr;
    return held_oldest != nullptr || find_failed(&flagged_record) != 0;
}

int find_failed(brennic_result **out) {
    if (!log_enabled() && flagged == 0) return 0;
    for (brennic_result *r = head; r != nullptr; r = r->next) {
        if (r->failed != 0) {
            *out = r;
            return 1;
        }
    }
    flagged = 0; // a flag was cleared behind the count's back
    return 0;
}

brennic_result *freeid(std::int32_t id) {
    if (use_index()) {
        brennic_result *r = index_newest(id);
        if (r != nullptr) unlink_after(index_before(r), r);
        return r;
    }
    return walk_take_out([id](const brennic_result *r) { return r->id == id; }, true);
}

bool take_out(brennic_result *result) { return take_out_record(result, true); }

bool take_out_quietly(brennic_result *result) { return take_out_record(result, false); }

void hold_result(brennic_result *result) {
    block_of(result)->held_next = nullptr;
    if (held_newest != nullptr)
        block_of(held_newest)->held_next = result;
    else
        held_oldest = result;
    held_newest = result;
}

brennic_result *take_held() {
    brennic_result *r = held_oldest;
    if (r != nullptr) take_out_of_held(r);
    return r;
}

void set_callback_record(const brennic_result *result) { callback_record = result; }

void reset_pending() {
    head = nullptr;
    held_oldest = nullptr;
    held_newest = nullptr;
    callback_record = nullptr;
    flagged = 0;
    failures = 0;
    failure_rotated = 0;
    index_release();
}

} // namespace brennic

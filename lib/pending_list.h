// Result records and the pending list rlist: the records of requests in flight, newest
// first, singly linked through next. The list borrows records; their owners release them.
//
// The list owns its links. A record enters only through link_pending and leaves only
// through one of the take-out calls, and its failed flag is raised only through
// flag_failed or flag_results_of; rlist itself is read-only outside lib/pending_list.cc.
// That keeps the list's side index and its count of flagged records in step.
#pragma once

#include <cstdint>

#include "brennic.h"

struct brennic_host;

namespace brennic {

// The head of the pending list (nullptr when empty).
extern brennic_result *const &rlist;

// Records and their texts, from hooks.alloc_zeroed.
brennic_result *new_result() noexcept;
// Takes the record out first if linked or held; refuses (0) the record whose callback runs.
int free_result(brennic_result **result) noexcept;
char *dup_text(const char *text); // owned copy, or nullptr

// Links result, which is not linked, at the head. Its id must not change while it is linked.
void link_pending(brennic_result *result);

// Raises the failed flag of a linked record.
void flag_failed(brennic_result *result);

// Raises the failed flag of every linked record of host, logging each ("Set failed ...").
void flag_results_of(const brennic_host *host);

// True for the first collected record of the link failure that flagged result (and for a
// record flagged on its own): only that one moves the current host on.
bool first_of_its_failure(const brennic_result *result);

// The newest linked record of id, or nullptr.
brennic_result *find_by_id(std::int32_t id);

// Where a request went out, as a position in its host's stream of received bytes
// (brennic_host::received): a line that began before it is no reply to it.
void note_sent_at(brennic_result *result, std::int64_t at);
// A record being sent: no line completes it until note_sent_at says where it went out.
void note_not_sent(brennic_result *result);

// The record a reply line completes: the newest linked record of id whose request went to
// host before the line began at line_start; nullptr when none did.
brennic_result *find_reply_to(const brennic_host *host, std::int32_t id, std::int64_t line_start);

// The newest linked record with its failed flag raised: 1 and *out set, else 0.
int find_failed(brennic_result **out);

// Taking out: a record taken out keeps its own next. With a log callback the list is walked
// and each step logged ("rlits = ...", "nextone = ...", "freeid, point ...").
brennic_result *freeid(std::int32_t id);       // the newest record of id, or nullptr
bool take_out(brennic_result *result);         // this very record; false if not linked
bool take_out_quietly(brennic_result *result); // the same, without a diagnostic

// Finished records that left the list without reaching their owner (a blocking wait collected
// them for another id) are held, oldest first, until poll hands them back.
void hold_result(brennic_result *result);
brennic_result *take_held(); // the oldest held record, no longer held; nullptr when none

// True when the next poll hands a result back without reading: one is held or flagged.
bool result_ready();

// The record whose line callback is running: brennic_free refuses it until the callback has
// returned, since the reader goes on using it. nullptr when none.
void set_callback_record(const brennic_result *result);

// Forgets every record (they belong to their owners) and releases the side index.
void reset_pending();

} // namespace brennic

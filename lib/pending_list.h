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
int free_result(brennic_result **result) noexcept; // takes the record out first if linked
char *dup_text(const char *text);                  // owned copy, or nullptr

// Links result, which is not linked, at the head. Its id must not change while it is linked.
void link_pending(brennic_result *result);

// Raises the failed flag of a linked record.
void flag_failed(brennic_result *result);

// Raises the failed flag of every linked record of host, logging each ("Set failed ...").
void flag_results_of(const brennic_host *host);

// The newest linked record of id, or nullptr.
brennic_result *find_by_id(std::int32_t id);

// The newest linked record with its failed flag raised: 1 and *out set, else 0.
int find_failed(brennic_result **out);

// Taking out: a record taken out keeps its own next. With a log callback the list is walked
// and each step logged ("rlits = ...", "nextone = ...", "freeid, point ...").
brennic_result *freeid(std::int32_t id);       // the newest record of id, or nullptr
bool take_out(brennic_result *result);         // this very record; false if not linked
bool take_out_quietly(brennic_result *result); // the same, without a diagnostic

// Forgets every record (they belong to their owners) and releases the side index.
void reset_pending();

} // namespace brennic

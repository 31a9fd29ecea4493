// The pending list's side index: record -> the record before it in the list, and id -> its
// linked records, newest first. Only the pending list (lib/pending_list.cc) uses it, and it
// tells the index of every change, so the index is always either in step with the list or
// off. It is built when first needed, and when an allocation fails it is dropped (off) and
// the list is walked instead, with the same results.
#pragma once

#include <cstdint>

#include "brennic.h"

namespace brennic {

// True while the index is in step with the list.
bool index_on();

// Indexes the list that begins at head. False, and off, when memory ran out.
bool index_build(brennic_result *head);

// head has just been linked in front of the indexed list (head->next is the old head).
// Goes off when memory runs out.
void index_linked(brennic_result *head);

// result has just been taken out of the list; its next is still the record that followed
// it. result must be indexed (index_holds).
void index_taken_out(brennic_result *result);

bool index_holds(const brennic_result *result);

// The record before result in the list, nullptr at the head. result must be indexed.
brennic_result *index_before(const brennic_result *result);

// The newest linked record of id, or nullptr.
brennic_result *index_newest(std::int32_t id);

// The next older linked record of result's id, or nullptr. result must be indexed.
brennic_result *index_older(const brennic_result *result);

// Off, and its storage released.
void index_release();

} // namespace brennic

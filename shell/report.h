// The output of one finished command, in the text form or, under -json, as one object; and
// the notices the library reports outside any command.
#pragma once

#include <cstdint>

#include "brennic.h"
#include "shell/json.h"
#include "shell/outcome.h"

namespace brennic {

// One input line, from its reading to its output.
struct command {
    long seq = 0;                // input line number, from 1
    const char *word = "";       // the lower-cased command word
    const char *user = nullptr;  // the user argument, for check, lookup, set, mod, del
    const char *text = nullptr;  // the search text, for search
    bool render = false;         // check, lookup: the reply is rendered against user
    std::int64_t started_ns = 0; // when the line was read
};

// What the commands so far came to, for -status.
extern outcome_tally commands_tally;

// Writes a request's result and releases the record. call_ok is what the operation returned;
// for a search, lines holds what the line callback received under -json (nullptr otherwise)
// and lines_came says whether it received any. A pipelined loop calls this with each
// collected record, in input order.
void finish_request(const command &c, int call_ok, brennic_result *&r, line_store *lines,
                    bool lines_came);

// A command the console answers itself: the reply line it prints (nullptr: none, as for
// quit), the lines before it under -json (nullptr: none).
void finish_local(const command &c, outcome o, const char *reply, const line_store *lines);

// The status command: one line per configured host, then "+OK".
void finish_status(const command &c);

// A console message outside any command (start-up refusals): the line as is, or under
// -json an event object with it as text.
void report_message(const char *line);

// The end of input: "+OK exiting", or under -json the exiting event.
void report_exiting();

// The brennic_notice_fn the console registers: the line as the library printed it (masked on
// a terminal like other server text), or under -json an event object.
int notice_sink(int kind, const char *host, const char *text, const char *line);

} // namespace brennic

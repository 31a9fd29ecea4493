// How one command went, as the exit status under -status and the JSON objects report it.
#pragma once

#include <cstring>

#include "brennic.h"

namespace brennic {

enum class outcome {
    ok,      // answered with a reply of its own that is not an error
    err,     // answered with an error, or with a reply naming another user
    dead,    // no server took it or its link failed
    timeout, // sent, but no reply came in time
    invalid, // not a command
    refused, // a command, but not sent: missing or over-long arguments, or the library refused
};

inline const char *outcome_name(outcome o) {
    switch (o) {
    case outcome::ok:
        return "ok";
    case outcome::err:
        return "err";
    case outcome::dead:
        return "dead";
    case outcome::timeout:
        return "timeout";
    case outcome::invalid:
        return "invalid";
    case outcome::refused:
        return "refused";
    }
    return "err";
}

// The outcome of a request handed to the library: call_ok is what the operation returned,
// printed the final line the console shows for it. A failed link comes back with the
// library's failure text, which a server could also send: the record's flag tells them apart.
inline outcome request_outcome(int call_ok, const brennic_result *r, const char *printed) {
    if (!call_ok) return outcome::refused;
    if (r == nullptr || r->text == nullptr) return outcome::timeout;
    if (r->failed != 0) return outcome::dead;
    return std::strncmp(printed, "+OK", 3) == 0 ? outcome::ok : outcome::err;
}

// Exit statuses under -status, and of a command line the console will not run under -strict.
inline constexpr int kExitAllAnswered = 0;
inline constexpr int kExitSomeError = 1;
inline constexpr int kExitSomeUnanswered = 2;
inline constexpr int kExitUsage = 64;

// What the commands so far came to.
struct outcome_tally {
    bool any_error = false;      // an error reply, an invalid or a refused command
    bool any_unanswered = false; // a command no server answered
};

inline void tally(outcome_tally &t, outcome o) {
    if (o == outcome::dead || o == outcome::timeout) t.any_unanswered = true;
    if (o == outcome::err || o == outcome::invalid || o == outcome::refused) t.any_error = true;
}

inline int tally_status(const outcome_tally &t) {
    return t.any_unanswered ? kExitSomeUnanswered : t.any_error ? kExitSomeError : kExitAllAnswered;
}

} // namespace brennic

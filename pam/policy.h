// The module's decisions that need no PAM handle and no network: reading the arguments of the
// module line, which user names and passwords can go on the link, and what a reply means.
#pragma once

#include <cstddef>

#include "base/limits.h"

namespace brennic::pam {

inline constexpr const char *kDefaultHost = "127.0.0.1"; // the console's default server
inline constexpr int kDefaultTimeoutSeconds = 5;
// Longest deadline accepted: a login never waits anything like the library's own limits.
inline constexpr int kMaxTimeoutSeconds = 120;
inline constexpr int kMillisPerSecond = 1000;
// Room for a text quoted in a log line: a user name, a reply word, a host list.
inline constexpr std::size_t kLogTextMax = 200;

struct module_args {
    char host[kHostListMax + 1] = {};     // host list for brennic_init
    char secret[kSecretPathMax + 1] = {}; // secret-file path; empty: the library's default
    int timeout_seconds = kDefaultTimeoutSeconds;
    bool debug = false;
    bool use_first_pass = false;
    bool try_first_pass = false;
    bool valid = true; // false when a value cannot be used as given (the call must fail)
};

// What parse_args has to say about one argument: it is unknown (ignored), its value is
// unusable and the default stands, or its value is too long to pass on whole.
enum class arg_problem { unknown, bad_value, too_long };
using arg_report = void (*)(void *context, arg_problem problem, const char *arg);

// Reads the module line's arguments; every problem is handed to report.
module_args parse_args(int argc, const char **argv, arg_report report, void *context);

// A user name or password the link can carry as one field: 1 to kUserMax characters,
// without space (the field separator), CR or LF (either would end the request line).
bool fits_field(const char *text);

enum class verdict {
    accepted,     // "+OK" naming the user
    rejected,     // a refusal naming the user
    unknown_user, // the directory says there is no such user
    other_user,   // a reply about someone else: never taken as this user's answer
    unavailable,  // no server answered: link failure, give-up or no reply text
};

// Classifies a final reply of check or lookup. text is the reply text (or null when the
// wait gave up), failed the record's link-failure flag, user the name that was asked for.
verdict classify_reply(const char *text, int failed, const char *user);

// The second word of a reply text, cut to out_size - 1 characters (empty when none).
void second_word(const char *text, char *out, std::size_t out_size);

// Copies text for a log line: at most out_size - 1 characters, every control byte as '?',
// so that a name or a reply can never start a line of its own in the log.
void copy_for_log(char *out, std::size_t out_size, const char *text);

} // namespace brennic::pam

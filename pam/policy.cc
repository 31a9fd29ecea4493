#include "pam/policy.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/text.h"

namespace brennic::pam {
namespace {

// What the library puts in place of a reply when the link of the request failed.
constexpr const char *kLinkFailureText = "-ERR brenniclib failed while talking to brennic server";
// The directory's words, after the user name, for a name it does not hold.
constexpr const char *kNoSuchUser = "no such user";
constexpr const char *kSuccessPrefix = "+OK";

// The value of "key=value" when arg starts with key and '=', else null.
const char *value_of(const char *arg, const char *key) {
    const std::size_t n = std::strlen(key);
    if (std::strncmp(arg, key, n) != 0 || arg[n] != '=') return nullptr;
    return arg + n + 1;
}

// Copies value whole into out (room for max characters), or reports it too long.
bool take_value(char *out, std::size_t max, const char *value) {
    if (std::strlen(value) > max) return false;
    copy_bounded(out, value, max);
    return true;
}

// A whole decimal number from 1 to kMaxTimeoutSeconds, or 0.
int read_timeout(const char *value) {
    if (*value < '0' || *value > '9') return 0;
    char *end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (*end != '\0' || n < 1 || n > kMaxTimeoutSeconds) return 0;
    return static_cast<int>(n);
}

} // namespace

module_args parse_args(int argc, const char **argv, arg_report report, void *context) {
    module_args args;
    copy_bounded(args.host, kDefaultHost, kHostListMax);
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i] != nullptr ? argv[i] : "";
        const char *value = nullptr;
        if (std::strcmp(arg, "debug") == 0) {
            args.debug = true;
        } else if (std::strcmp(arg, "use_first_pass") == 0) {
            args.use_first_pass = true;
        } else if (std::strcmp(arg, "try_first_pass") == 0) {
            args.try_first_pass = true;
        } else if ((value = value_of(arg, "host")) != nullptr) {
            // An empty list would leave no server at all: the default stands instead.
            if (*value == '\0') {
                report(context, arg_problem::bad_value, arg);
            } else if (!take_value(args.host, kHostListMax, value)) {
                report(context, arg_problem::too_long, arg);
                args.valid = false;
            }
        } else if ((value = value_of(arg, "secret")) != nullptr) {
            if (!take_value(args.secret, kSecretPathMax, value)) {
                report(context, arg_problem::too_long, arg);
                args.valid = false;
            }
        } else if ((value = value_of(arg, "timeout")) != nullptr) {
            const int seconds = read_timeout(value);
            if (seconds == 0) {
                report(context, arg_problem::bad_value, arg);
            } else {
                args.timeout_seconds = seconds;
            }
        } else {
            report(context, arg_problem::unknown, arg);
        }
    }
    return args;
}

bool fits_field(const char *text) {
    if (text == nullptr || *text == '\0') return false;
    const std::size_t n = std::strlen(text);
    return n <= static_cast<std::size_t>(kUserMax) && std::strpbrk(text, " \r\n") == nullptr;
}

void second_word(const char *text, char *out, std::size_t out_size) {
    if (out_size == 0) return;
    out[0] = '\0';
    const char *space = text != nullptr ? std::strchr(text, ' ') : nullptr;
    if (space == nullptr) return;
    const char *start = space + 1;
    const std::size_t length = std::strcspn(start, " ");
    const std::size_t kept = length < out_size - 1 ? length : out_size - 1;
    std::memcpy(out, start, kept);
    out[kept] = '\0';
}

verdict classify_reply(const char *text, int failed, const char *user) {
    if (text == nullptr || failed != 0 || std::strcmp(text, kLinkFailureText) == 0)
        return verdict::unavailable;
    if (user == nullptr || *user == '\0') return verdict::other_user;
    // The name in the reply is compared whole: a name one longer than any user may have
    // cannot match, whatever the reply's word begins with.
    char word[kUserMax + 2];
    second_word(text, word, sizeof word);
    if (std::strcmp(word, user) != 0) return verdict::other_user;
    if (std::strncmp(text, kSuccessPrefix, std::strlen(kSuccessPrefix)) == 0)
        return verdict::accepted;
    const char *rest = std::strchr(text, ' ') + 1 + std::strlen(word);
    if (*rest == ' ' && strncasecmp(rest + 1, kNoSuchUser, std::strlen(kNoSuchUser)) == 0)
        return verdict::unknown_user;
    return verdict::rejected;
}

void copy_for_log(char *out, std::size_t out_size, const char *text) {
    if (out_size == 0) return;
    std::size_t n = 0;
    for (const char *p = or_empty(text); *p != '\0' && n + 1 < out_size; ++p, ++n) {
        const auto c = static_cast<unsigned char>(*p);
        out[n] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    }
    out[n] = '\0';
}

} // namespace brennic::pam

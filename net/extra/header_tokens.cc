#include <cstring>

#include "base/diag.h"
#include "net/extra/utilities.h"

namespace brennic {
namespace {

// Slots kept free at the end of the token array.
constexpr int kTokenReserve = 5;

} // namespace

int split_header_line(char *line, char **tokens, const char *delimiters, int capacity) {
    // The first token and the null after it take two slots whatever the reserve says.
    if (capacity < 1) return 0;
    if (capacity < 2) {
        tokens[0] = nullptr;
        return 0;
    }
    int n = 0;
    char *p = line;
    for (;;) {
        if (*p == '\0') break;
        p += std::strspn(p, delimiters);
        if (*p == '\0') break;
        if (*p == '"') {
            tokens[n++] = ++p;
            // A backslash-quote pair stays in the token and does not end it.
            while (*p != '\0' && *p != '"')
                p += (p[0] == '\\' && p[1] == '"') ? 2 : 1;
        } else {
            tokens[n++] = p;
            p += std::strcspn(p, delimiters);
        }
        if (*p == '\0') break;
        *p++ = '\0';
        if (n + kTokenReserve >= capacity) {
            log_info("Too many tokens in this header line");
            break;
        }
    }
    tokens[n] = nullptr;
    return n;
}

} // namespace brennic

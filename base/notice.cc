#include "base/notice.h"

#include <cstdio>

namespace brennic {
namespace {
notice_callback stored_notice = nullptr;
} // namespace

void set_notice_callback(notice_callback fn) { stored_notice = fn; }

void notice(int kind, const char *host, const char *text, const char *line) {
    if (stored_notice != nullptr) {
        stored_notice(kind, host, text, line);
        return;
    }
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
}

} // namespace brennic

#include "tests/support/log_capture.h"

namespace brennic::test {

std::vector<log_line> &log_lines() {
    static std::vector<log_line> lines;
    return lines;
}

void clear_log() { log_lines().clear(); }

int capture_log(int level, const char *text) {
    log_lines().push_back({level, text});
    return 0;
}

int count_log(const std::string &text, int level) {
    int n = 0;
    for (const auto &l : log_lines())
        if (l.text == text && (level == 0 || l.level == level)) ++n;
    return n;
}

int count_log_prefix(const std::string &prefix) {
    int n = 0;
    for (const auto &l : log_lines())
        if (l.text.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

bool logged(const std::string &prefix) { return count_log_prefix(prefix) > 0; }

bool was_logged(int level, const std::string &text) {
    return level != 0 && count_log(text, level) > 0;
}

int find_log(const std::string &text, std::size_t from) {
    const auto &lines = log_lines();
    for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].text == text) return static_cast<int>(i);
    return -1;
}

std::string dump_log() {
    std::string out;
    for (const auto &l : log_lines())
        out += std::to_string(l.level) + ": [" + l.text + "]\n";
    return out;
}

} // namespace brennic::test

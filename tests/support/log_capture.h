// The diagnostics a test captures: capture_log is a log callback that keeps every line it is
// handed, with its level, until clear_log().
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brennic::test {

struct log_line {
    int level;
    std::string text;
};

// Every diagnostic since the last clear_log().
std::vector<log_line> &log_lines();
void clear_log();
int capture_log(int level, const char *text);
// Number of lines equal to text (at the level, when level is not 0).
int count_log(const std::string &text, int level = 0);
// Number of lines beginning with prefix.
int count_log_prefix(const std::string &prefix);
// Whether any line begins with prefix.
bool logged(const std::string &prefix);
// Whether any line at level equals text.
bool was_logged(int level, const std::string &text);
// Index of the first line equal to text at or after from, or -1.
int find_log(const std::string &text, std::size_t from = 0);
// Every line with its level, one a row, for failure messages.
std::string dump_log();

} // namespace brennic::test

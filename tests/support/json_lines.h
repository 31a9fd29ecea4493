// Parses console output that should hold one JSON object per line, with a real JSON parser
// (python3's, strict about UTF-8 and control characters), so a test never trusts its own
// reading of the console's escaping.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace brennic::test {

// One object: each key with its value re-encoded as ASCII-only JSON ("ok" is "\"ok\"").
using json_object = std::map<std::string, std::string>;

// The objects of text, one per line. ok is false, and error says why, when a line is not a
// JSON object or the text is not valid UTF-8.
struct json_parse {
    bool ok = false;
    std::string error;
    std::vector<json_object> objects;
};
json_parse parse_json_lines(const std::string &text);

// The checker is python3's parser, run as a child process: a Windows program (under wine)
// cannot start it, so tests of the JSON output skip there.
#if defined(_WIN32)
inline constexpr bool kJsonCheckerRuns = false;
#define BRENNIC_SKIP_WITHOUT_JSON_CHECKER()                                                        \
    GTEST_SKIP() << "the JSON checker runs python3, which a Windows program cannot start"
#else
inline constexpr bool kJsonCheckerRuns = true;
#define BRENNIC_SKIP_WITHOUT_JSON_CHECKER() (void)0
#endif

// A text as the JSON string the parser re-encodes it to.
std::string quoted(const std::string &text);

} // namespace brennic::test

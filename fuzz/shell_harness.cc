// The console's line dispatch and reply rendering, driven with a stand-in library whose
// answers come from the input: refusals, missing texts, texts of any bytes and length, and
// search lines handed to the callback.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "brennic.h"
#include "fuzz/harness.h"
#include "fuzz/support.h"
#include "lib/limits.h"
#include "shell/shell.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kTarget = "shell";
// The end of the line that refuses a user name or password too long to send whole.
constexpr std::string_view kCredentialsTooLong =
    " user name or password longer than 100 characters\n";
constexpr std::size_t kReadMax = kShellReadLimit - 1; // characters of one read line
constexpr std::uint8_t kLongTextFrom = 240;
constexpr std::size_t kLongTextStep = 2000;
constexpr std::size_t kLongTextPattern = 16;
constexpr const char *kHelpBlock =
    "+DATA Valid commands\n+DATA \tlookup username\n+DATA \tcheck username password\n"
    "+DATA \tset username password|(NULL) [var=\"val\" ...]\n+DATA \tsearch string\n"
    "+DATA \tdel username\n+DATA \texit\n+OK \n";

// The stand-in library's script and what the current line made it do.
struct script {
    byte_source *answers = nullptr;
    bool called = false;
    std::size_t lines_expected = 0; // output lines the call must lead to
    std::string who;                // user, or the search line
    bool renders = false;           // check and lookup
    bool search = false;
    std::string callback_output; // what the search lines must print
    int outcome = 0;
    std::string text;
    bool has_text = false;
};

script current;
shell_outcome outcome;

// A reply text: never longer than the library hands out.
std::string take_text(byte_source &in) {
    const std::uint8_t length = in.take_byte();
    if (length < kLongTextFrom) return as_text(in.take(length));
    const std::string pattern = as_text(in.take(kLongTextPattern));
    std::string text;
    const std::size_t wanted =
        std::min<std::size_t>((length - kLongTextFrom + 1) * kLongTextStep, kReplyTextMax);
    while (!pattern.empty() && text.size() < wanted)
        text += pattern;
    return text.substr(0, wanted);
}

void check_word(const char *word) {
    expect(word != nullptr, kTarget, "arguments are never null");
    const std::size_t length = std::strlen(word);
    expect(length < kShellBufSize, kTarget, "argument bounded");
    expect(std::strpbrk(word, " \r\n") == nullptr, kTarget, "a word holds no delimiter");
}

void check_no_line_end(const char *text) {
    expect(text != nullptr, kTarget, "texts are never null");
    expect(std::strlen(text) < kShellBufSize, kTarget, "text bounded");
    expect(std::strpbrk(text, "\r\n") == nullptr, kTarget, "a text holds no line end");
}

std::string folded(std::string text) {
    for (char &c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

// One library call: the answer decides the return value, the record and its text.
int answer(int id, const char *who, bool renders, brennic_line_fn on_line, brennic_result **out) {
    expect(!current.called, kTarget, "one library call per line");
    expect(id == -1, kTarget, "every request blocks");
    expect(out != nullptr && *out == nullptr, kTarget, "a fresh result pointer");
    current.called = true;
    current.search = on_line != nullptr;
    current.who = who;
    current.renders = renders;
    ++outcome.library_calls;

    byte_source &in = *current.answers;
    const bool scripted = !in.empty();
    const std::uint8_t a = scripted ? in.take_byte() : 0x08;
    const int result = (a & 3) != 0 ? 1 : 0;
    std::size_t callback_lines = 0;
    if (on_line != nullptr) {
        for (int i = (a >> 6) & 3; i > 0; --i) {
            const std::string line = take_text(in);
            on_line(-1, line.c_str());
            current.callback_output += folded(line) + "\n";
            ++callback_lines;
        }
    }
    const int text_mode = (a >> 2) & 3;
    std::string text;
    if (text_mode >= 2) text = scripted ? take_text(in) : "+OK";
    const bool no_record = (a & 0x30) == 0x30;
    if (!no_record) {
        auto *r = static_cast<brennic_result *>(std::calloc(1, sizeof(brennic_result)));
        r->id = id;
        r->on_line = on_line;
        if (text_mode != 0) r->text = strdup(text.c_str());
        *out = r;
        ++outcome.records_live;
    }
    current.outcome = result;
    current.has_text = !no_record && text_mode != 0;
    current.text = current.has_text ? text : std::string();
    // A search prints its lines through the callback; a refusal, a missing text, or a text
    // that never reached the callback (a failed link) adds one line of its own.
    if (on_line != nullptr)
        current.lines_expected =
            callback_lines + ((result == 0 || !current.has_text || callback_lines == 0) ? 1 : 0);
    else
        current.lines_expected = 1;
    return result;
}

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The one line a check, lookup, set, mod or del printed.
void check_reply_line(const std::string &line) {
    if (current.outcome == 0) {
        expect(line == "-ERR " + current.who + " brennic_lib call failed, see brennic.log", kTarget,
               "a refusal names the user");
        return;
    }
    if (!current.has_text) {
        expect(starts_with(line, "-ERR "), kTarget, "a missing reply is an error line");
        return;
    }
    const std::string text = folded(current.text);
    if (!current.renders || current.text.find(' ') == std::string::npos) {
        expect(line == text, kTarget, "the reply text is printed as it came");
        return;
    }
    const std::string user = current.who.substr(0, kRenderFieldMax);
    const std::string quoted = text.substr(0, kRenderFieldMax);
    if (!starts_with(current.text, "+OK") &&
        current.text.find("brenniclib failed") != std::string::npos)
        expect(line == "-DEAD " + user + " " + quoted, kTarget, "a link failure is -DEAD");
    else
        expect(line == text || line == "-ERR " + user + " " + quoted, kTarget,
               "a reply passes or is marked as an error for the user");
}

std::size_t count_lines(const std::string &text) {
    std::size_t n = 0;
    for (char c : text)
        n += c == '\n' ? 1 : 0;
    return n;
}

} // namespace

const shell_outcome &last_shell_outcome() { return outcome; }

int shell_one(const std::uint8_t *data, std::size_t size) {
    const std::string all(reinterpret_cast<const char *>(data), size);
    const std::size_t nul = all.find('\0');
    const std::string input = all.substr(0, nul);
    const std::string script_bytes = nul == std::string::npos ? std::string() : all.substr(nul + 1);
    byte_source answers(reinterpret_cast<const std::uint8_t *>(script_bytes.data()),
                        script_bytes.size());

    outcome = shell_outcome{};
    char *buffer = nullptr;
    std::size_t length = 0;
    std::FILE *out = ::open_memstream(&buffer, &length);
    expect(out != nullptr, kTarget, "an output stream");
    shell_reset();
    shell_out = out;

    // Lines as the console reads them: up to and including an LF, at most 19998 characters.
    std::size_t pos = 0;
    std::size_t printed = 0;
    while (quit_flag == 0 && pos < input.size()) {
        std::size_t take = std::min(kReadMax, input.size() - pos);
        const std::size_t lf = input.find('\n', pos);
        if (lf != std::string::npos && lf - pos + 1 < take) take = lf - pos + 1;
        const std::string line = input.substr(pos, take);
        pos += take;

        current = script{};
        current.answers = &answers;
        dispatch_line(line.c_str());
        std::fflush(out);
        const std::string fresh(buffer + printed, length - printed);
        printed = length;
        expect(fresh.empty() || fresh.back() == '\n', kTarget, "output ends in whole lines");
        const std::size_t lines = count_lines(fresh);

        if (current.called) {
            expect(lines == current.lines_expected, kTarget, "one line per reply");
            if (!current.search) {
                check_reply_line(fresh.substr(0, fresh.size() - 1));
            } else {
                expect(starts_with(fresh, current.callback_output), kTarget,
                       "search lines are printed as they come");
                const std::string last = fresh.substr(current.callback_output.size());
                if (!last.empty()) check_reply_line(last.substr(0, last.size() - 1));
            }
        } else if (quit_flag != 0) {
            expect(lines == 0, kTarget, "quit prints nothing");
        } else if (lines == 8) {
            expect(fresh == kHelpBlock, kTarget, "the help block");
        } else {
            expect(lines == 1, kTarget, "one line for a command without a library call");
            expect(
                starts_with(fresh, "+OK brennic version 1.2a\n") ||
                    starts_with(fresh, "-ERR Invalid command (") ||
                    (starts_with(fresh, "-ERR ") &&
                     fresh.find(kCredentialsTooLong) == fresh.size() - kCredentialsTooLong.size()),
                kTarget, "version, the invalid-command line or the over-long refusal");
        }
    }
    expect(outcome.records_live == 0, kTarget, "every record is released");

    std::fclose(out);
    outcome.output.assign(buffer, length);
    std::free(buffer);
    shell_reset();
    return 0;
}

} // namespace brennic::fuzz

// The stand-in library: only what the console calls.
using brennic::fuzz::answer;

extern "C" {

int brennic_init(const char *, const char *, brennic_log_fn) { return 1; }
int brennic_close(void) { return 1; }
brennic_result *brennic_new(void) {
    return static_cast<brennic_result *>(std::calloc(1, sizeof(brennic_result)));
}

int brennic_free(brennic_result **result) {
    if (result == nullptr || *result == nullptr) return 0;
    std::free((*result)->user);
    std::free((*result)->aux);
    std::free((*result)->text);
    std::free(*result);
    *result = nullptr;
    --brennic::fuzz::outcome.records_live;
    return 1;
}

int brennic_check(int id, const char *user, const char *password, brennic_result **result) {
    brennic::fuzz::check_word(user);
    brennic::fuzz::check_word(password);
    return answer(id, user, true, nullptr, result);
}

int brennic_lookup(int id, const char *user, brennic_result **result) {
    brennic::fuzz::check_word(user);
    return answer(id, user, true, nullptr, result);
}

int brennic_set(int id, const char *user, const char *password, const char *attributes,
                brennic_result **result) {
    brennic::fuzz::check_word(user);
    brennic::fuzz::check_word(password);
    brennic::fuzz::check_no_line_end(attributes);
    return answer(id, user, false, nullptr, result);
}

int brennic_mod(int id, const char *user, const char *password, const char *attributes,
                brennic_result **result) {
    brennic::fuzz::check_word(user);
    brennic::fuzz::check_word(password);
    brennic::fuzz::check_no_line_end(attributes);
    return answer(id, user, false, nullptr, result);
}

int brennic_del(int id, const char *user, brennic_result **result) {
    brennic::fuzz::check_word(user);
    return answer(id, user, false, nullptr, result);
}

int brennic_search(int id, const char *text, brennic_line_fn on_line, brennic_result **result) {
    brennic::fuzz::check_no_line_end(text);
    brennic::fuzz::expect(std::strlen(text) <= static_cast<std::size_t>(brennic::kShellLineCopyMax),
                          "shell", "the search text is the line copy");
    brennic::fuzz::expect(on_line != nullptr, "shell", "search lines have a callback");
    return answer(id, text, false, on_line, result);
}

int brennic_poll(brennic_result **) { return 0; }
int brennic_set_timeout(int ms) { return ms >= 0; }
int brennic_set_log_level(int min_level) { return min_level >= 1 && min_level <= 3; }
int brennic_set_notice_fn(brennic_notice_fn) { return 1; }
int brennic_host_state(int, char *, int, int *, int *, int64_t *) { return 0; }
int brennic_result_host(const brennic_result *) { return -1; }
int brennic_batch(int) { return 1; }
int brennic_wait(int) { return 0; }

} // extern "C"

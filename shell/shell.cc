#include "shell/shell.h"

#include <cstring>
#include <string_view>

#include "base/clock.h"
#include "base/text.h"
#include "net/system.h"
#include "shell/json.h"
#include "shell/log_sink.h"
#include "shell/options.h"
#include "shell/pipeline.h"
#include "shell/report.h"

namespace brennic {

char host_list[kShellBufSize];
char secret_arg[kShellBufSize];
std::int32_t debug_flag = 0;
std::int32_t dolog_flag = 0;
std::int32_t quit_flag = 0;
std::FILE *shell_out = stdout;
bool shell_out_is_terminal = false;
std::FILE *echo_out = nullptr;
bool echo_out_is_terminal = false;

namespace {

constexpr const char kUsage[] =
    "Usage: brennic [-host 127.0.0.1] [-secret codestring] [-debug] [-dolog]\n";
constexpr const char kNoCommand[] = "nocommand";
constexpr std::string_view kLinkFailure = "brenniclib failed";

constexpr const char *kHelpBlock[] = {
    "+DATA Valid commands\n",
    "+DATA \tlookup username\n",
    "+DATA \tcheck username password\n",
    "+DATA \tset username password|(NULL) [var=\"val\" ...]\n",
    "+DATA \tsearch string\n",
    "+DATA \tdel username\n",
    "+DATA \texit\n",
    "+OK \n",
};

static_assert(kShellReadLimit < kShellBufSize, "the read limit leaves room for the terminator");
static_assert(kShellLineCopyMax < kShellBufSize, "the line copy fits its buffer");
static_assert(kLocalLineSize - kShellBufSize >
                  static_cast<int>(sizeof " brennic_lib call failed, see brennic.log" + 5),
              "a console line holds a whole input piece with the longest text around it");
static_assert(kHostListMax < kShellBufSize && kSecretPathMax < kShellBufSize,
              "an option value the library keeps fits its buffer");

// The bytes a terminal would act on rather than show: every control byte but TAB, and DEL.
// NUL ends the text anyway.
constexpr const char kTerminalControls[] = "\x01\x02\x03\x04\x05\x06\x07\x08\x0a\x0b\x0c\x0d\x0e"
                                           "\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b"
                                           "\x1c\x1d\x1e\x1f\x7f";

long search_lines_printed = 0; // lines print_line has written, to spot a search without any

bool is_word_delim(char c) { return c == ' ' || c == '\r' || c == '\n'; }
bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// Copies len characters of src (len < kShellBufSize) and terminates them.
void copy_span(char *dst, const char *src, std::size_t len) {
    std::memcpy(dst, src, len);
    dst[len] = '\0';
}

// Finds the next word at or after pos. On success the word is [start, end) and pos is left
// just after the single delimiter that ended it (or at the end of the text).
bool next_word(std::string_view line, std::size_t &pos, std::size_t &start, std::size_t &end) {
    while (pos < line.size() && is_word_delim(line[pos]))
        ++pos;
    if (pos >= line.size()) return false;
    start = pos;
    while (pos < line.size() && !is_word_delim(line[pos]))
        ++pos;
    end = pos;
    if (pos < line.size()) ++pos;
    return true;
}

long lines_read = 0;                // input lines so far: the seq of the next command
line_store *search_store = nullptr; // under -json, where print_line keeps a search's lines

void print_version() { std::fprintf(shell_out, "+OK brennic version %s\n", kShellVersion); }

// A line the console answers itself, with the command word it names.
void answer_local(const command &c, outcome o, const char *reply) {
    finish_local(c, o, reply, nullptr);
}

void cmd_check(const command &c, const char *password) {
    brennic_result *r = nullptr;
    int ok = brennic_check(-1, c.user, password, &r);
    finish_request(c, ok, r, nullptr, false);
}

void cmd_lookup(const command &c) {
    brennic_result *r = nullptr;
    int ok = brennic_lookup(-1, c.user, &r);
    finish_request(c, ok, r, nullptr, false);
}

void cmd_set(const command &c, const char *password, const char *rest) {
    brennic_result *r = nullptr;
    int ok = brennic_set(-1, c.user, password, rest, &r);
    finish_request(c, ok, r, nullptr, false);
}

void cmd_mod(const command &c, const char *password, const char *rest) {
    brennic_result *r = nullptr;
    int ok = brennic_mod(-1, c.user, password, rest, &r);
    finish_request(c, ok, r, nullptr, false);
}

void cmd_del(const command &c) {
    brennic_result *r = nullptr;
    int ok = brennic_del(-1, c.user, &r);
    finish_request(c, ok, r, nullptr, false);
}

// The reply lines are printed (or, under -json, kept) by print_line while the call runs.
void cmd_search(const command &c) {
    brennic_result *r = nullptr;
    line_store lines;
    if (script.json) search_store = &lines;
    const long printed_before = search_lines_printed;
    int ok = brennic_search(-1, c.text, print_line, &r);
    search_store = nullptr;
    finish_request(c, ok, r, &lines, search_lines_printed != printed_before);
    release_lines(lines);
}

void cmd_help(const command &c) {
    if (!script.json) {
        for (const char *help_line : kHelpBlock)
            std::fputs(help_line, shell_out);
        tally(commands_tally, outcome::ok);
        return;
    }
    line_store lines;
    char line[kShellBufSize];
    for (const char *help_line : kHelpBlock) {
        copy_bounded(line, help_line, kShellBufSize - 1);
        cut_at_line_end(line);
        store_line(lines, line);
    }
    finish_local(c, outcome::ok, "+OK ", &lines);
    release_lines(lines);
}

bool fits(const char *t) { return strnlen(t, kUserMax + 1) <= static_cast<std::size_t>(kUserMax); }

// The requests by their command words. The words are the constant texts a request's
// command record names, so that a pipelined request keeps its word after its line is gone.
struct request_name {
    const char *word;
    request_kind kind;
};
constexpr request_name kRequests[] = {
    {"check", request_kind::check}, {"lookup", request_kind::lookup},
    {"set", request_kind::set},     {"mod", request_kind::mod},
    {"del", request_kind::del},     {"search", request_kind::search},
};

const char *word_of(request_kind kind) {
    for (const request_name &r : kRequests)
        if (r.kind == kind) return r.word;
    return "";
}

bool has_password(request_kind kind) {
    return kind == request_kind::check || kind == request_kind::set || kind == request_kind::mod;
}

// Under -strict a request without the arguments it needs is not sent: check needs a user
// and a password; lookup, set, mod and del a user; search a text.
bool arguments_given(const command_line &cl, request_kind kind) {
    if (cl.arg1[0] == '\0') return false;
    return kind != request_kind::check || cl.arg2[0] != '\0';
}

// Nothing that identifies or authenticates goes out cut short: a password cut to its first
// 100 characters would let another password with the same start pass, and a user name cut
// short would name another user. Such a command is refused whole and nothing is sent.
bool credentials_fit(const command_line &cl, request_kind kind) {
    if (kind == request_kind::search) return true;
    return fits(cl.arg1) && (!has_password(kind) || fits(cl.arg2));
}

void refuse_missing(const command &c) {
    char line[kShellBufSize];
    std::snprintf(line, sizeof line, "-ERR Missing argument (%.*s) use help", kRenderFieldMax,
                  c.word);
    answer_local(c, outcome::refused, line);
}

void refuse_overlong_credentials(const command &c) {
    char line[kShellBufSize];
    std::snprintf(line, sizeof line, "-ERR %.*s user name or password longer than %d characters",
                  kUserMax, c.user, kUserMax);
    answer_local(c, outcome::refused, line);
}

// The commands the console answers itself.
void run_local(command &c) {
    const std::string_view word = c.word;
    if (word == "quit" || word == "exit") {
        quit_flag = 1;
        answer_local(c, outcome::ok, nullptr);
    } else if (word == "version") {
        char line[sizeof kShellVersion + 32];
        std::snprintf(line, sizeof line, "+OK brennic version %s", kShellVersion);
        answer_local(c, outcome::ok, line);
    } else if (word == "help") {
        cmd_help(c);
    } else if (word == "status" && (script.strict || script.json)) {
        finish_status(c);
    } else {
        char line[kLocalLineSize];
        std::snprintf(line, sizeof line, "-ERR Invalid command (%s) use help", c.word);
        answer_local(c, outcome::invalid, line);
    }
}

} // namespace

request_kind request_of(const char *cmd) {
    const std::string_view word = cmd;
    for (const request_name &r : kRequests)
        if (word == r.word) return r.kind;
    return request_kind::none;
}

bool request_goes_out(const command_line &cl) {
    const request_kind kind = request_of(cl.cmd);
    if (kind == request_kind::none || cl.overlong) return false;
    if (script.strict && !arguments_given(cl, kind)) return false;
    return credentials_fit(cl, kind);
}

request_kind admit_command(command &c, const command_line &cl) {
    if (cl.overlong) {
        // What was read of it is not sent: its end, with what it would have said, is lost.
        char reply[kShellBufSize];
        std::snprintf(reply, sizeof reply, "-ERR Input line longer than %d characters",
                      kShellReadLimit - 1);
        answer_local(c, outcome::refused, reply);
        return request_kind::none;
    }
    const request_kind kind = request_of(cl.cmd);
    if (kind == request_kind::none) {
        run_local(c);
        return request_kind::none;
    }
    c.word = word_of(kind);
    if (kind == request_kind::search)
        c.text = cl.line_copy;
    else
        c.user = cl.arg1;
    c.render = kind == request_kind::check || kind == request_kind::lookup;
    if (script.strict && !arguments_given(cl, kind)) {
        refuse_missing(c);
        return request_kind::none;
    }
    if (!credentials_fit(cl, kind)) {
        refuse_overlong_credentials(c);
        return request_kind::none;
    }
    return kind;
}

void run_command(command &c, const command_line &cl) {
    switch (admit_command(c, cl)) {
    case request_kind::check:
        cmd_check(c, cl.arg2);
        return;
    case request_kind::lookup:
        cmd_lookup(c);
        return;
    case request_kind::set:
        cmd_set(c, cl.arg2, cl.rest);
        return;
    case request_kind::mod:
        cmd_mod(c, cl.arg2, cl.rest);
        return;
    case request_kind::del:
        cmd_del(c);
        return;
    case request_kind::search:
        cmd_search(c);
        return;
    case request_kind::none:
        return;
    }
}

namespace {
// Under -strict a blank line, or one whose first character other than a space or tab is #,
// is passed over without a reply.
bool skipped_line(const char *line) {
    const char *p = line;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    return *p == '\0' || *p == '#';
}

// Reads one line of at most kShellReadLimit - 1 characters, LF kept. The text ends at its
// first NUL, as with any C string; the bytes after it on that line are dropped.
bool read_line(std::FILE *in, char (&line)[kShellBufSize]) {
    return std::fgets(line, kShellReadLimit, in) != nullptr;
}

// The same read for -strict, which also says whether the line was longer than the limit: its
// rest is then read and dropped up to and including its LF. A line that fills the limit
// exactly and ends there (LF next, or end of input) is whole. NUL bytes count as characters.
bool read_line_strict(std::FILE *in, char (&line)[kShellBufSize], bool &overlong) {
    overlong = false;
    int length = 0;
    int ch = EOF;
    while (length < kShellReadLimit - 1 && (ch = std::getc(in)) != EOF) {
        line[length++] = static_cast<char>(ch);
        if (ch == '\n') break;
    }
    line[length] = '\0';
    if (length == 0) return false;
    if (ch == '\n' || length < kShellReadLimit - 1) return true;
    ch = std::getc(in);
    if (ch == '\n' || ch == EOF) return true;
    overlong = true;
    while (ch != '\n' && ch != EOF)
        ch = std::getc(in);
    return true;
}

} // namespace

bool read_command_line(std::FILE *in, char (&line)[kShellBufSize], bool &overlong) {
    overlong = false;
    return script.strict ? read_line_strict(in, line, overlong) : read_line(in, line);
}

void put_text_line(std::FILE *out, const char *text) {
    put_text_line_as(out, text, shell_out_is_terminal);
}

void put_text_line_as(std::FILE *out, const char *text, bool terminal) {
    // On a terminal, escape sequences in a server's text would retitle the window or clear
    // the screen: every byte the terminal would act on is shown as '?'.
    if (terminal) {
        for (;;) {
            const std::size_t run = std::strcspn(text, kTerminalControls);
            std::fwrite(text, 1, run, out);
            text += run;
            if (*text == '\0') break;
            std::fputc('?', out);
            ++text;
        }
        std::fputc('\n', out);
        return;
    }
    // Runs without a line end go out in one write each; a CR or LF becomes a space.
    for (;;) {
        const std::size_t run = std::strcspn(text, "\r\n");
        std::fwrite(text, 1, run, out);
        text += run;
        if (*text == '\0') break;
        std::fputc(' ', out);
        ++text;
    }
    std::fputc('\n', out);
}

int print_line(int /*id*/, const char *line) {
    ++search_lines_printed;
    if (search_store)
        store_line(*search_store, or_empty(line));
    else if (!script.json)
        put_text_line(shell_out, or_empty(line));
    return 1;
}

void render_reply(const char *reply, const char *user, char *out) {
    const char *space = std::strchr(reply, ' ');
    if (!space) {
        copy_bounded(out, reply, kShellBufSize - 1);
        return;
    }
    char second[kUserMax + 1];
    copy_bounded(second, space + 1, kUserMax);
    if (char *end = std::strchr(second, ' ')) *end = '\0';

    // A link failure never comes as "+OK": such a reply carries the directory's data, which
    // may hold any words, and is not taken for one.
    const std::string_view text(reply);
    // (memcmp rather than starts_with, which an unoptimized build reaches through a throwing
    // substr, and so through the C++ runtime.)
    const bool ok_reply = text.size() >= 3 && std::memcmp(text.data(), "+OK", 3) == 0;
    if (!ok_reply && text.find(kLinkFailure) != std::string_view::npos)
        std::snprintf(out, kShellBufSize, "-DEAD %.*s %.*s", kRenderFieldMax, user, kRenderFieldMax,
                      reply);
    else if (std::strcmp(user, second) != 0)
        std::snprintf(out, kShellBufSize, "-ERR %.*s %.*s", kRenderFieldMax, user, kRenderFieldMax,
                      reply);
    else
        copy_bounded(out, reply, kShellBufSize - 1);
}

void parse_line(const char *line, command_line &out) {
    // Only the terminators: clearing the whole buffers would cost 60 KB of stores per line.
    out.arg1[0] = '\0';
    out.arg2[0] = '\0';
    out.rest[0] = '\0';
    out.overlong = false;

    // The copy, cut at its first CR or LF, is what search sends.
    copy_bounded(out.line_copy, line, kShellLineCopyMax);
    cut_at_line_end(out.line_copy);

    copy_bounded(out.cmd, kNoCommand, kShellBufSize - 1);

    // Input lines are at most kShellReadLimit - 1 long; longer text is cut to keep every
    // piece within its buffer.
    std::string_view text(line, strnlen(line, kShellBufSize - 1));
    std::size_t pos = 0, start = 0, end = 0;
    // A line without any word keeps "nocommand", which no command matches.
    if (!next_word(text, pos, start, end)) return;
    copy_span(out.cmd, text.data() + start, end - start);
    if (next_word(text, pos, start, end)) {
        copy_span(out.arg1, text.data() + start, end - start);
        if (next_word(text, pos, start, end)) {
            copy_span(out.arg2, text.data() + start, end - start);
            // The rest starts right after the one delimiter that ended the second
            // argument, so further spaces stay in it; only line ends are skipped.
            while (pos < text.size() && is_line_end(text[pos]))
                ++pos;
            std::size_t stop = pos;
            while (stop < text.size() && !is_line_end(text[stop]))
                ++stop;
            copy_span(out.rest, text.data() + pos, stop - pos);
        }
    }
    lowercase_in_place(out.cmd);
}

bool take_line(const char *line, bool overlong, command &c, command_line &cl) {
    c = command{};
    c.seq = ++lines_read;
    c.started_ns = monotonic_ns();
    if (script.strict && skipped_line(line)) return false;
    parse_line(line, cl);
    cl.overlong = overlong;
    c.word = cl.cmd;
    return true;
}

void dispatch_line(const char *line, bool overlong) {
    command c;
    command_line cl;
    if (take_line(line, overlong, c, cl)) run_command(c, cl);
    std::fflush(shell_out);
}

namespace {

// Exit status of a console whose standard output could not be written.
constexpr int kExitOutputFailed = 1;

int output_failed() {
    std::perror("brennic: standard output");
    return kExitOutputFailed;
}

// The exit status once the replies so far are flushed: 0, or the failure said on stderr.
int flushed_status() {
    std::fflush(shell_out);
    return std::ferror(shell_out) ? output_failed() : 0;
}

} // namespace

int shell_main(int argc, char **argv, std::FILE *in, std::FILE *out) {
    shell_out = out;
    shell_out_is_terminal = is_terminal(out);
    copy_bounded(host_list, kDefaultHostList, kHostListMax);

    switch (read_options(argc, argv)) {
    case start_action::usage:
        std::fputs(kUsage, shell_out);
        return flushed_status();
    case start_action::version:
        print_version();
        return flushed_status();
    case start_action::usage_error:
        std::fputs(kUsage, stderr);
        return kExitUsage;
    case start_action::run:
        break;
    }
    // Under -json standard output carries objects only: the diagnostics go to standard error.
    if (script.json) {
        echo_out = stderr;
        echo_out_is_terminal = is_terminal(stderr);
    }

    // After a refused value the library starts with no host, so every command fails at once:
    // neither the default server nor the default secret file may stand in for what was given.
    char message[kShellBufSize];
    if (pipeline_refused) {
        std::snprintf(message, sizeof message, "-ERR -pipeline value must be a number from 1 to %d",
                      kPipelineDepthMax);
        report_message(message);
    }
    if (host_refused) {
        std::snprintf(message, sizeof message, "-ERR -host value longer than %d characters",
                      kHostListMax);
        report_message(message);
    }
    if (secret_refused) {
        std::snprintf(message, sizeof message, "-ERR -secret value longer than %d characters",
                      kSecretPathMax);
        report_message(message);
    }
    if (host_refused || secret_refused) {
        host_list[0] = '\0';
        secret_arg[0] = '\0';
    }

    // The deadline covers the link setups of start-up too.
    if (script.timeout_ms > 0) brennic_set_timeout(script.timeout_ms);
    // The library's own lines come through the console, so that they are masked on a
    // terminal and, under -json, become event objects.
    brennic_set_notice_fn(notice_sink);
    // Without -debug or -dolog the sink shows nothing, so the library is given no callback
    // and skips building its diagnostics.
    const brennic_log_fn sink = (debug_flag || dolog_flag) ? log_sink : nullptr;
    if (!brennic_init(host_list, secret_arg, sink))
        report_message("-ERR Could not initialize brennic library");
    // What start-up wrote (a refused handshake, -debug lines) shows whether the replies can
    // be written before the first command runs.
    if (flushed_status() != 0) return kExitOutputFailed;

    if (script.pipeline_depth > 1) {
        pipeline_settings settings;
        settings.depth = script.pipeline_depth;
        // A deadline bounds each pipelined command from its last send, as it bounds a
        // blocking one.
        if (script.timeout_ms > 0) settings.wait_limit_ms = script.timeout_ms;
        if (!run_pipeline(in, settings)) return output_failed();
    } else {
        char line[kShellBufSize];
        while (!quit_flag) {
            bool overlong = false;
            if (!read_command_line(in, line, overlong)) break;
            dispatch_line(line, overlong); // flushes its replies
            // A reply that cannot be written reaches nobody: no further command is run,
            // since its outcome (a set, a del) could not be seen either.
            if (std::ferror(shell_out)) return output_failed();
        }
    }

    report_exiting();
    const int status = flushed_status();
    if (status != 0 || !script.status) return status;
    return tally_status(commands_tally);
}

void shell_reset() {
    std::memset(host_list, 0, sizeof host_list);
    std::memset(secret_arg, 0, sizeof secret_arg);
    debug_flag = 0;
    dolog_flag = 0;
    quit_flag = 0;
    shell_out = stdout;
    shell_out_is_terminal = false;
    echo_out = nullptr;
    echo_out_is_terminal = false;
    script = script_options{};
    host_refused = false;
    secret_refused = false;
    pipeline_refused = false;
    commands_tally = outcome_tally{};
    lines_read = 0;
    log_sink_reset();
}

} // namespace brennic

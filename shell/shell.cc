#include "shell/shell.h"

#include <unistd.h>

#include <cstring>
#include <string_view>

#include "base/text.h"
#include "shell/log_sink.h"
#include "shell/pipeline.h"

namespace brennic {

char host_list[kShellBufSize];
char secret_arg[kShellBufSize];
std::int32_t debug_flag = 0;
std::int32_t dolog_flag = 0;
std::int32_t quit_flag = 0;
std::FILE *shell_out = stdout;
bool shell_out_is_terminal = false;

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

void print_version() { std::fprintf(shell_out, "+OK brennic version %s\n", kShellVersion); }

void print_invalid(const char *word) {
    std::fprintf(shell_out, "-ERR Invalid command (%s) use help\n", word);
}

void print_refusal(const char *who) {
    std::fprintf(shell_out, "-ERR %s brennic_lib call failed, see brennic.log\n", who);
}

// A blocking call that gave up waiting leaves the record without a reply text.
void print_no_reply(const char *who) {
    std::fprintf(shell_out, "-ERR %.200s no reply from brennic server\n", who);
}

void cmd_check(const char *user, const char *password) {
    brennic_result *r = nullptr;
    int ok = brennic_check(-1, user, password, &r);
    render_finished(request_kind::check, ok, r, user, false);
    brennic_free(&r);
}

void cmd_lookup(const char *user) {
    brennic_result *r = nullptr;
    int ok = brennic_lookup(-1, user, &r);
    render_finished(request_kind::lookup, ok, r, user, false);
    brennic_free(&r);
}

void cmd_set(const char *user, const char *password, const char *rest) {
    brennic_result *r = nullptr;
    int ok = brennic_set(-1, user, password, rest, &r);
    render_finished(request_kind::set, ok, r, user, false);
    brennic_free(&r);
}

void cmd_mod(const char *user, const char *password, const char *rest) {
    brennic_result *r = nullptr;
    int ok = brennic_mod(-1, user, password, rest, &r);
    render_finished(request_kind::mod, ok, r, user, false);
    brennic_free(&r);
}

void cmd_del(const char *user) {
    brennic_result *r = nullptr;
    int ok = brennic_del(-1, user, &r);
    render_finished(request_kind::del, ok, r, user, false);
    brennic_free(&r);
}

// The reply lines were printed by print_line while the call ran.
void cmd_search(const char *line) {
    brennic_result *r = nullptr;
    const long printed_before = search_lines_printed;
    int ok = brennic_search(-1, line, print_line, &r);
    render_finished(request_kind::search, ok, r, line, search_lines_printed != printed_before);
    brennic_free(&r);
}

bool fits(const char *t) { return strnlen(t, kUserMax + 1) <= static_cast<std::size_t>(kUserMax); }

// Nothing that identifies or authenticates goes out cut short: a password cut to its first
// 100 characters would let another password with the same start pass, and a user name cut
// short would name another user. The command is refused whole and nothing is sent.
bool credentials_fit(const char *user, const char *password) {
    if (fits(user) && fits(password)) return true;
    std::fprintf(shell_out, "-ERR %.*s user name or password longer than %d characters\n", kUserMax,
                 user, kUserMax);
    return false;
}

} // namespace

request_kind request_of(const char *cmd) {
    const std::string_view word = cmd;
    if (word == "check") return request_kind::check;
    if (word == "lookup") return request_kind::lookup;
    if (word == "set") return request_kind::set;
    if (word == "mod") return request_kind::mod;
    if (word == "del") return request_kind::del;
    if (word == "search") return request_kind::search;
    return request_kind::none;
}

bool fields_fit(const command_line &c, request_kind kind) {
    switch (kind) {
    case request_kind::check:
    case request_kind::set:
    case request_kind::mod:
        return fits(c.arg1) && fits(c.arg2);
    case request_kind::lookup:
    case request_kind::del:
        return fits(c.arg1);
    case request_kind::search:
    case request_kind::none:
        break;
    }
    return true;
}

void render_finished(request_kind kind, int ok, const brennic_result *r, const char *who,
                     bool lines_printed) {
    if (!ok) {
        print_refusal(who);
    } else if (!r || !r->text) {
        print_no_reply(who);
    } else if (kind == request_kind::check || kind == request_kind::lookup) {
        char rendered[kShellBufSize];
        render_reply(r->text, who, rendered);
        put_text_line(shell_out, rendered);
    } else if (kind != request_kind::search) {
        put_text_line(shell_out, r->text);
    } else if (r->failed != 0 || !lines_printed) {
        // A failed link reaches only the record's text, never the line callback: it is
        // printed as set, mod and del print theirs, so that no search goes without a final
        // line, also one whose link failed after some of its +DATA lines had come.
        put_text_line(shell_out, r->text);
    }
}

void run_command(const command_line &c) {
    const char *arg1 = c.arg1, *arg2 = c.arg2, *rest = c.rest;
    switch (request_of(c.cmd)) {
    case request_kind::check:
        if (credentials_fit(arg1, arg2)) cmd_check(arg1, arg2);
        return;
    case request_kind::lookup:
        if (credentials_fit(arg1, "")) cmd_lookup(arg1);
        return;
    case request_kind::set:
        if (credentials_fit(arg1, arg2)) cmd_set(arg1, arg2, rest);
        return;
    case request_kind::mod:
        if (credentials_fit(arg1, arg2)) cmd_mod(arg1, arg2, rest);
        return;
    case request_kind::del:
        if (credentials_fit(arg1, "")) cmd_del(arg1);
        return;
    case request_kind::search:
        cmd_search(c.line_copy);
        return;
    case request_kind::none:
        break;
    }
    const std::string_view word = c.cmd;
    if (word == "quit" || word == "exit")
        quit_flag = 1;
    else if (word == "version")
        print_version();
    else if (word == "help") {
        for (const char *help_line : kHelpBlock)
            std::fputs(help_line, shell_out);
    } else
        print_invalid(c.cmd);
}

namespace {

// Reads one line of at most kShellReadLimit - 1 characters, LF kept. The text ends at its
// first NUL, as with any C string; the bytes after it on that line are dropped.
bool read_line(std::FILE *in, char (&line)[kShellBufSize]) {
    return std::fgets(line, kShellReadLimit, in) != nullptr;
}

} // namespace

void put_text_line(std::FILE *out, const char *text) {
    // On a terminal, escape sequences in a server's text would retitle the window or clear
    // the screen: every byte the terminal would act on is shown as '?'.
    if (shell_out_is_terminal) {
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
    put_text_line(shell_out, line ? line : "");
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

    // The copy, cut at the first LF and then at the first CR, is what search sends.
    copy_bounded(out.line_copy, line, kShellLineCopyMax);
    if (char *lf = std::strchr(out.line_copy, '\n')) *lf = '\0';
    if (char *cr = std::strchr(out.line_copy, '\r')) *cr = '\0';

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

void dispatch_line(const char *line) {
    command_line c;
    parse_line(line, c);
    run_command(c);
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

namespace {

// Copies an option value whole. One longer than the library keeps is refused rather than
// cut: a path cut short names another file, and a host list cut short loses servers or
// names one that was never given.
bool take_value(char *dst, const char *value, int max) {
    if (strnlen(value, static_cast<std::size_t>(max) + 1) > static_cast<std::size_t>(max))
        return false;
    copy_bounded(dst, value, max);
    return true;
}

// The -pipeline value: a whole number from 1 to kPipelineDepthMax, or 0 when it is not one.
int pipeline_depth_of(const char *value) {
    int depth = 0;
    for (const char *p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        depth = depth * 10 + (*p - '0');
        if (depth > kPipelineDepthMax) return 0;
    }
    return depth;
}

} // namespace

int shell_main(int argc, char **argv, std::FILE *in, std::FILE *out) {
    shell_out = out;
    shell_out_is_terminal = isatty(fileno(out)) == 1;
    copy_bounded(host_list, kDefaultHostList, kHostListMax);
    bool host_refused = false;
    bool secret_refused = false;
    int pipeline_depth = 1;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-help" || arg == "-h") {
            std::fputs(kUsage, shell_out);
            return flushed_status();
        }
        if (arg == "-debug") debug_flag = 1;
        if (arg == "-version") {
            print_version();
            return flushed_status();
        }
        if (arg == "-dolog") dolog_flag = 1;
        // A value option with nothing after it is ignored; a value it takes is never
        // itself read as an option.
        if (arg == "-secret" && i + 1 < argc) {
            if (!take_value(secret_arg, argv[++i], kSecretPathMax)) secret_refused = true;
            continue;
        }
        if (arg == "-host" && i + 1 < argc) {
            if (!take_value(host_list, argv[++i], kHostListMax)) host_refused = true;
            continue;
        }
        if (arg == "-pipeline" && i + 1 < argc) {
            const int depth = pipeline_depth_of(argv[++i]);
            if (depth == 0)
                std::fprintf(shell_out, "-ERR -pipeline value must be a number from 1 to %d\n",
                             kPipelineDepthMax);
            else
                pipeline_depth = depth;
            continue;
        }
    }
    // After a refused value the library starts with no host, so every command fails at once:
    // neither the default server nor the default secret file may stand in for what was given.
    if (host_refused)
        std::fprintf(shell_out, "-ERR -host value longer than %d characters\n", kHostListMax);
    if (secret_refused)
        std::fprintf(shell_out, "-ERR -secret value longer than %d characters\n", kSecretPathMax);
    if (host_refused || secret_refused) {
        host_list[0] = '\0';
        secret_arg[0] = '\0';
    }

    // Without -debug or -dolog the sink shows nothing, so the library is given no callback
    // and skips building its diagnostics.
    const brennic_log_fn sink = (debug_flag || dolog_flag) ? log_sink : nullptr;
    if (!brennic_init(host_list, secret_arg, sink))
        std::fputs("-ERR Could not initialize brennic library\n", shell_out);
    // What start-up wrote (a refused handshake, -debug lines) shows whether the replies can
    // be written before the first command runs.
    if (flushed_status() != 0) return kExitOutputFailed;

    if (pipeline_depth > 1) {
        pipeline_settings settings;
        settings.depth = pipeline_depth;
        if (!run_pipeline(in, settings)) return output_failed();
        std::fputs("+OK exiting\n", shell_out);
        return flushed_status();
    }

    char line[kShellBufSize];
    while (!quit_flag) {
        if (!read_line(in, line)) break;
        dispatch_line(line); // flushes its replies
        // A reply that cannot be written reaches nobody: no further command is run, since
        // its outcome (a set, a del) could not be seen either.
        if (std::ferror(shell_out)) return output_failed();
    }

    std::fputs("+OK exiting\n", shell_out);
    return flushed_status();
}

void shell_reset() {
    std::memset(host_list, 0, sizeof host_list);
    std::memset(secret_arg, 0, sizeof secret_arg);
    debug_flag = 0;
    dolog_flag = 0;
    quit_flag = 0;
    shell_out = stdout;
    shell_out_is_terminal = false;
    log_sink_reset();
}

} // namespace brennic

#include "shell/report.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/text.h"
#include "shell/options.h"
#include "shell/shell.h"

namespace brennic {

outcome_tally commands_tally;

namespace {

constexpr std::int64_t kNsPerHundredthMs = 10000;

// "name:port", with the name in brackets when it holds a colon itself (an IPv6 address).
void host_label(char (&out)[kHostLabelSize], const char *name, int port) {
    if (std::strchr(name, ':') != nullptr)
        std::snprintf(out, sizeof out, "[%.*s]:%d", kHostNameShownMax, name, port);
    else
        std::snprintf(out, sizeof out, "%.*s:%d", kHostNameShownMax, name, port);
}

// The label of the configured host a result went to, or false when it went to none.
bool result_label(const brennic_result *r, char (&out)[kHostLabelSize]) {
    char name[kHostNameShownMax + 1];
    int port = 0;
    const int index = brennic_result_host(r);
    if (index < 0 || !brennic_host_state(index, name, sizeof name, &port, nullptr, nullptr))
        return false;
    host_label(out, name, port);
    return true;
}

// A host entry of the -host list as a label: one without a port is reached on the default.
void entry_label(char (&out)[kHostLabelSize], const char *entry) {
    if (std::strchr(entry, ':') == nullptr)
        std::snprintf(out, sizeof out, "%.*s:%d", kHostNameShownMax, entry, kServerPortDefault);
    else
        std::snprintf(out, sizeof out, "%.*s", kHostNameShownMax, entry);
}

void json_key(const char *key) { std::fprintf(shell_out, ",\"%s\":", key); }

void json_field(const char *key, const char *value) {
    json_key(key);
    json_string(shell_out, value);
}

// The object's opening fields: seq, command and the argument it names.
void json_open(const command &c) {
    std::fprintf(shell_out, "{\"seq\":%ld,\"command\":", c.seq);
    json_string(shell_out, c.word);
    if (c.user) json_field("user", c.user);
    if (c.text) json_field("text", c.text);
}

// Wall time from reading the line to now, in milliseconds with two decimals; then the end.
void json_close(const command &c) {
    std::int64_t hundredths = (monotonic_ns() - c.started_ns) / kNsPerHundredthMs;
    if (hundredths < 0) hundredths = 0;
    std::fprintf(shell_out, ",\"ms\":%" PRId64 ".%02d}\n", hundredths / 100,
                 static_cast<int>(hundredths % 100));
}

void json_command(const command &c, outcome o, const char *reply, const line_store *lines,
                  const char *host) {
    json_open(c);
    json_field("outcome", outcome_name(o));
    if (reply) json_field("reply", reply);
    if (lines) {
        json_key("lines");
        json_lines(shell_out, *lines);
        if (lines->dropped > 0) std::fprintf(shell_out, ",\"lines_dropped\":%ld", lines->dropped);
    }
    if (host) json_field("host", host);
    json_close(c);
}

} // namespace

void finish_request(const command &c, int call_ok, brennic_result *&r, line_store *lines,
                    bool lines_came) {
    const char *who = c.user ? c.user : or_empty(c.text);
    char printed[kLocalLineSize];
    const char *reply = printed;
    bool server_text = false; // shown masked on a terminal
    if (!call_ok) {
        std::snprintf(printed, sizeof printed, "-ERR %s brennic_lib call failed, see brennic.log",
                      who);
    } else if (!r || !r->text) {
        // A blocking call that gave up waiting leaves the record without a reply text.
        std::snprintf(printed, sizeof printed, "-ERR %.*s no reply from brennic server",
                      kRenderFieldMax, who);
    } else if (c.render) {
        render_reply(r->text, c.user, printed);
        server_text = true;
    } else {
        reply = r->text;
        server_text = true;
    }
    const outcome o = request_outcome(call_ok, r, reply);
    tally(commands_tally, o);

    // A search's lines were printed by the line callback while the call ran. A failed link
    // reaches only the record's text, never the callback: it is printed as set, mod and del
    // print theirs, so that no search goes without a final line, also one whose link failed
    // after some of its +DATA lines had come.
    const bool search = c.text != nullptr;
    const bool print_reply = !search || !call_ok || !r || !r->text || r->failed != 0 || !lines_came;

    if (!script.json) {
        if (print_reply) {
            if (server_text) {
                put_text_line(shell_out, reply);
            } else {
                std::fputs(reply, shell_out);
                std::fputc('\n', shell_out);
            }
        }
    } else {
        if (search && lines && print_reply) store_line(*lines, reply);
        char label[kHostLabelSize];
        const bool answered = o == outcome::ok || o == outcome::err;
        json_command(c, o, reply, search ? lines : nullptr,
                     answered && result_label(r, label) ? label : nullptr);
    }
    brennic_free(&r);
}

void finish_local(const command &c, outcome o, const char *reply, const line_store *lines) {
    tally(commands_tally, o);
    if (script.json) {
        json_command(c, o, reply, lines, nullptr);
        return;
    }
    if (reply) {
        std::fputs(reply, shell_out);
        std::fputc('\n', shell_out);
    }
}

void finish_status(const command &c) {
    tally(commands_tally, outcome::ok);
    if (script.json) {
        json_open(c);
        json_field("outcome", outcome_name(outcome::ok));
        json_field("reply", "+OK");
        json_key("hosts");
        std::fputc('[', shell_out);
    }
    char name[kHostNameShownMax + 1];
    int port = 0;
    int state = 0;
    std::int64_t seconds = 0;
    for (int i = 0; brennic_host_state(i, name, sizeof name, &port, &state, &seconds); ++i) {
        const char *state_name = state == BRENNIC_HOST_OPEN     ? "open"
                                 : state == BRENNIC_HOST_FAILED ? "failed"
                                                                : "closed";
        if (script.json) {
            if (i > 0) std::fputc(',', shell_out);
            std::fputs("{\"host\":", shell_out);
            json_string(shell_out, name);
            std::fprintf(shell_out, ",\"port\":%d,\"state\":\"%s\",\"last\":", port, state_name);
            if (seconds < 0)
                std::fputs("null}", shell_out);
            else
                std::fprintf(shell_out, "%" PRId64 "}", seconds);
        } else {
            char line[kHostLabelSize + 64];
            std::snprintf(line, sizeof line, "+DATA host %.*s port %d state %s last %" PRId64,
                          kHostNameShownMax, name, port, state_name, seconds);
            put_text_line(shell_out, line);
        }
    }
    if (script.json) {
        std::fputc(']', shell_out);
        json_close(c);
    } else {
        std::fputs("+OK\n", shell_out);
    }
}

void report_message(const char *line) {
    if (!script.json) {
        std::fputs(line, shell_out);
        std::fputc('\n', shell_out);
        return;
    }
    std::fputs("{\"event\":\"error\",\"text\":", shell_out);
    json_string(shell_out, line);
    std::fputs("}\n", shell_out);
}

void report_exiting() {
    std::fputs(script.json ? "{\"event\":\"exiting\"}\n" : "+OK exiting\n", shell_out);
}

int notice_sink(int kind, const char *host, const char *text, const char *line) {
    if (!script.json) {
        put_text_line(shell_out, or_empty(line));
        return 1;
    }
    if (kind == BRENNIC_NOTICE_REFUSED) {
        std::fputs("{\"event\":\"refused\"", shell_out);
        if (host) {
            char label[kHostLabelSize];
            entry_label(label, host);
            json_field("host", label);
        }
        json_field("text", or_empty(text));
    } else {
        // The secret file's write failure names the file and the cause: the whole line.
        std::fprintf(shell_out, "{\"event\":\"%s\"",
                     kind == BRENNIC_NOTICE_SECRET_WRITE ? "secret_write" : "notice");
        json_field("text", or_empty(line));
    }
    std::fputs("}\n", shell_out);
    return 1;
}

} // namespace brennic

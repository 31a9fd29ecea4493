// The pipelined command loop. Commands sit in a ring of slots in input order, from the
// oldest one not yet printed (the head) to the newest. A request goes out as an
// asynchronous request whose id names its slot, and comes back through brennic_poll. The
// head prints straight to the output; a later command's output waits in its slot (its
// record, its search lines, or the text of a command that sends nothing) until every
// command before it has printed.
//
// Per command it does what the one-at-a-time loop does: the same admission and the same
// output (shared through admit_command and finish_request, text or JSON), one resend of a
// request that comes back failed unless it handed lines already, and the no-reply line once
// its wait limit has passed. Waiting is done on the library's links through brennic_wait,
// and the requests read in one go are sent as one batch (brennic_batch).
#include "shell/pipeline.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/text.h"
#include "brennic.h"
#include "net/system.h"
#include "shell/json.h"
#include "shell/options.h"
#include "shell/report.h"
#include "shell/shell.h"

namespace brennic {
namespace {

// Ids cycle through 0 to kIdSpan - 1: far more than can be in flight, so that an id is not
// used again while a late or repeated answer to its last use may still come (one that does
// come is dropped by the library as an unknown reply). An id names its slot.
constexpr std::int32_t kIdSpan = 1000000000;
static_assert(kIdSpan % kPipelineDepthMax == 0, "id mod ring size is the slot");

// Standard input is read in blocks of this size; a whole line of the longest kind fits.
constexpr std::size_t kInputBufSize = 65536;
static_assert(kInputBufSize > static_cast<std::size_t>(kShellReadLimit), "a line fits");

// While commands are outstanding the loop waits on the library's links: at most
// kInputWatchMs when it may also read input (a new line ends the wait at the next round),
// else kGiveUpCheckMs, how often the requests in flight are checked against their limit.
constexpr int kInputWatchMs = 2;
constexpr int kGiveUpCheckMs = 100;

struct slot {
    request_kind kind; // none: a command that sends nothing, answered when it was read
    command c;         // what its output names; user and text point at the copies below
    std::int32_t id;   // the request id
    int ok;            // what the request operation returned
    bool finished;     // its outcome is known; it prints at its turn
    bool resent;       // sent a second time (or the library already did)
    bool lines_handed; // a search that has handed reply lines
    brennic_result *r; // the record of the current attempt; null once given up
    char *user;        // owned copies of the arguments (search: the line as sent)
    char *password;    // check, set and mod
    char *rest;        // set and mod
    line_store lines;  // under -json, a search's reply lines
    std::int64_t sent_ms;
    std::FILE *held; // output written before its turn, or null
    char *held_data;
    std::size_t held_size;
};

slot ring[kPipelineDepthMax];
long long head_seq = 0; // the oldest command not yet printed
long long tail_seq = 0; // the next command to be read

slot &slot_of(long long seq) { return ring[seq % kPipelineDepthMax]; }
bool is_head(const slot &s) { return head_seq < tail_seq && &slot_of(head_seq) == &s; }

char *copy_of(const char *text) {
    const std::size_t length = strnlen(text, kShellBufSize - 1);
    auto *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy != nullptr) copy_bounded(copy, text, length);
    return copy;
}

// Where a slot's output goes: the output itself at its turn, else its held buffer. When no
// buffer can be had the line goes out at once rather than be lost.
std::FILE *sink_of(slot &s) {
    if (is_head(s) && s.held == nullptr) return shell_out;
    if (s.held == nullptr) s.held = open_memory_output(&s.held_data, &s.held_size);
    return s.held != nullptr ? s.held : shell_out;
}

int search_line(int id, const char *line) {
    if (id < 0) return 0;
    slot &s = ring[id % kPipelineDepthMax];
    if (s.id != id || s.kind != request_kind::search || s.finished) return 0;
    s.lines_handed = true;
    if (script.json)
        store_line(s.lines, or_empty(line));
    else
        put_text_line(sink_of(s), or_empty(line));
    return 1;
}

void send(slot &s) {
    s.sent_ms = monotonic_ms();
    switch (s.kind) {
    case request_kind::check:
        s.ok = brennic_check(s.id, s.user, s.password, &s.r);
        break;
    case request_kind::lookup:
        s.ok = brennic_lookup(s.id, s.user, &s.r);
        break;
    case request_kind::set:
        s.ok = brennic_set(s.id, s.user, s.password, s.rest, &s.r);
        break;
    case request_kind::mod:
        s.ok = brennic_mod(s.id, s.user, s.password, s.rest, &s.r);
        break;
    case request_kind::del:
        s.ok = brennic_del(s.id, s.user, &s.r);
        break;
    case request_kind::search:
        s.ok = brennic_search(s.id, s.user, search_line, &s.r);
        break;
    case request_kind::none:
        return;
    }
    if (s.ok == 0) {
        s.finished = true; // refused before sending: prints the refusal
        return;
    }
    // Flagged at once: no host took the request, and the operation has sent it a second
    // time itself, as a blocking request is sent again after its failed wait.
    if (s.r != nullptr && s.r->failed != 0) s.resent = true;
}

command_line parsed; // the line being started; 100 KB, kept off the stack

void start_command(const char *line, bool overlong) {
    command_line &cl = parsed;
    command c;
    if (!take_line(line, overlong, c, cl)) return;
    const long long seq = tail_seq++;
    slot &s = slot_of(seq);
    s = slot{};
    s.id = static_cast<std::int32_t>(seq % kIdSpan);
    if (!request_goes_out(cl)) {
        // Sends nothing: answered now, its output held until its turn.
        s.finished = true;
        std::FILE *const out = shell_out;
        shell_out = sink_of(s);
        admit_command(c, cl);
        shell_out = out;
        return;
    }
    const request_kind kind = admit_command(c, cl);
    s.kind = kind;
    s.c = c;
    const bool has_password =
        kind == request_kind::check || kind == request_kind::set || kind == request_kind::mod;
    const bool has_rest = kind == request_kind::set || kind == request_kind::mod;
    s.user = copy_of(kind == request_kind::search ? cl.line_copy : cl.arg1);
    if (has_password) s.password = copy_of(cl.arg2);
    if (has_rest) s.rest = copy_of(cl.rest);
    // The record names the copies: the parsed line is reused by the next command.
    s.c.user = kind == request_kind::search ? nullptr : s.user;
    s.c.text = kind == request_kind::search ? s.user : nullptr;
    if (s.user == nullptr || (has_password && s.password == nullptr) ||
        (has_rest && s.rest == nullptr)) {
        // No memory for the arguments: refused, as the library refuses without a record.
        s.finished = true;
        return;
    }
    send(s);
}

// Takes one finished result from the library; false when there was none.
bool collect_one() {
    brennic_result *r = nullptr;
    if (brennic_poll(&r) == 0) return false;
    if (r->id < 0) return true;
    slot &s = ring[r->id % kPipelineDepthMax];
    if (s.r != r || s.finished) return true;
    // A request whose link failed is sent once more with a fresh record, unless it has
    // handed lines already: a second server would hand the same lines again.
    if (r->failed != 0 && !s.resent && !s.lines_handed) {
        brennic_free(&s.r);
        s.resent = true;
        send(s);
        return true;
    }
    s.finished = true;
    return true;
}

void release(slot &s) {
    brennic_free(&s.r); // out of the pending list too, when still in it
    release_lines(s.lines);
    std::free(s.user);
    std::free(s.password);
    std::free(s.rest);
    s = slot{};
}

// Prints every command at the head that is complete, and what an unfinished head has
// written so far. True when anything was printed.
bool print_ready() {
    bool printed = false;
    while (head_seq < tail_seq) {
        slot &s = slot_of(head_seq);
        if (s.held != nullptr) {
            close_memory_output(s.held, &s.held_data, &s.held_size);
            s.held = nullptr;
            if (s.held_size > 0) std::fwrite(s.held_data, 1, s.held_size, shell_out);
            std::free(s.held_data);
            s.held_data = nullptr;
            printed = true;
        }
        if (!s.finished) break;
        if (s.kind != request_kind::none) finish_request(s.c, s.ok, s.r, &s.lines, s.lines_handed);
        release(s);
        ++head_seq;
        printed = true;
    }
    return printed;
}

// Requests in flight past their wait limit are given up: taken out of the library's pending
// list (a late reply to their id is then dropped as unknown) and printed without a reply.
// True when one was.
bool give_up_overdue(std::int64_t now_ms, long limit_ms) {
    bool gave_up = false;
    for (long long seq = head_seq; seq < tail_seq; ++seq) {
        slot &s = slot_of(seq);
        if (s.finished || s.r == nullptr || now_ms - s.sent_ms <= limit_ms) continue;
        brennic_free(&s.r);
        s.finished = true;
        gave_up = true;
    }
    return gave_up;
}

// Standard input read in blocks, so that whether a line is at hand can be asked without
// waiting. Lines are cut as the one-at-a-time loop cuts them: through the LF, or
// kShellReadLimit - 1 characters, or what is left at the end of input; under -strict a line
// past that limit is marked over-long and its rest dropped through its LF. A stream without a
// descriptor (a memory stream) is read as the one-at-a-time loop reads it, which never waits
// on it.
struct input_reader {
    std::FILE *file;
    int fd;
    char buf[kInputBufSize];
    std::size_t start;
    std::size_t end;
    bool at_end;
    bool dropping; // the rest of an over-long line is being dropped
};

input_reader reader;

enum class input { line, none_yet, end };

// The length of the next line held in the buffer, 0 when more input is needed. skip counts
// the bytes read past it and dropped (the LF of a line that fills the limit exactly).
std::size_t held_line(const char *from, std::size_t held, bool at_end, std::size_t &skip,
                      bool &overlong) {
    constexpr std::size_t kLongest = kShellReadLimit - 1;
    skip = 0;
    if (const void *lf = std::memchr(from, '\n', held < kLongest ? held : kLongest))
        return static_cast<std::size_t>(static_cast<const char *>(lf) - from) + 1;
    if (held < kLongest) return at_end ? held : 0;
    if (!script.strict) return kLongest;
    // A line that fills the limit and ends right there is whole; one that goes on is not.
    if (held == kLongest) return at_end ? kLongest : 0;
    if (from[kLongest] == '\n')
        skip = 1;
    else
        overlong = true;
    return kLongest;
}

input next_line(char (&line)[kShellBufSize], bool may_wait, bool &overlong) {
    input_reader &rd = reader;
    overlong = false;
    if (rd.fd < 0) return read_command_line(rd.file, line, overlong) ? input::line : input::end;
    for (;;) {
        const std::size_t held = rd.end - rd.start;
        const char *from = rd.buf + rd.start;
        if (rd.dropping) {
            const void *lf = std::memchr(from, '\n', held);
            rd.start = lf != nullptr
                           ? static_cast<std::size_t>(static_cast<const char *>(lf) - rd.buf) + 1
                           : rd.end;
            rd.dropping = lf == nullptr;
            if (lf != nullptr) continue;
        } else {
            std::size_t skip = 0;
            const std::size_t length = held_line(from, held, rd.at_end, skip, overlong);
            if (length > 0) {
                std::memcpy(line, from, length);
                line[length] = '\0';
                rd.start += length + skip;
                rd.dropping = overlong;
                return input::line;
            }
        }
        if (rd.at_end) return input::end;
        if (!may_wait && input_ready(rd.fd, 0) == 0) return input::none_yet;
        const std::size_t kept = rd.end - rd.start;
        std::memmove(rd.buf, rd.buf + rd.start, kept);
        rd.start = 0;
        rd.end = kept;
        const int n = read_input(rd.fd, rd.buf + rd.end, static_cast<int>(sizeof rd.buf - rd.end));
        // A read error ends the input, as it ends fgets.
        if (n <= 0)
            rd.at_end = true;
        else
            rd.end += static_cast<std::size_t>(n);
    }
}

// One idle round: waits until a link has bytes to read, or up to ms. When no link is open
// the library returns at once: the rest of the time, at most ms, is slept instead, woken
// early by input on input_fd (not -1), so that the loop never spins.
void idle(int ms, int input_fd) {
    const std::int64_t start = monotonic_ms();
    if (brennic_wait(ms) == 1) return;
    const std::int64_t left = ms - (monotonic_ms() - start);
    if (left <= 0) return;
    input_ready(input_fd, static_cast<int>(left));
}

} // namespace

bool run_pipeline(std::FILE *in, const pipeline_settings &settings) {
    reader.file = in;
    reader.fd = descriptor_of(in);
    reader.start = reader.end = 0;
    reader.at_end = false;
    reader.dropping = false;
    static char line[kShellBufSize];
    bool input_done = false;
    std::int64_t last_check_ms = monotonic_ms();
    for (;;) {
        bool progress = false;
        // Commands are read while there is room; input is waited for only when nothing is
        // outstanding, since the output of what is must not wait for the next line. The
        // requests sent here leave together, when the batch ends (nothing is outstanding while
        // input is waited for, so nothing is held then).
        brennic_batch(1);
        while (!input_done && !quit_flag && tail_seq - head_seq < settings.depth) {
            bool overlong = false;
            const input got = next_line(line, tail_seq == head_seq, overlong);
            if (got == input::none_yet) break;
            if (got == input::end) {
                input_done = true;
                break;
            }
            start_command(line, overlong);
            progress = true;
        }
        brennic_batch(0);
        while (collect_one())
            progress = true;
        if (print_ready()) {
            std::fflush(shell_out);
            // A reply that cannot be written reaches nobody: nothing further is run.
            if (std::ferror(shell_out)) return false;
        }
        const bool reading = !input_done && !quit_flag;
        if (tail_seq == head_seq && !reading) return true;
        const std::int64_t now = monotonic_ms();
        if (now - last_check_ms >= kGiveUpCheckMs) {
            if (give_up_overdue(now, settings.wait_limit_ms)) progress = true;
            last_check_ms = now;
        }
        if (progress) continue;
        // With room for more, input is looked at again after a short wait on the links.
        const bool watch_input = reading && tail_seq - head_seq < settings.depth;
        idle(watch_input ? kInputWatchMs : kGiveUpCheckMs, watch_input ? reader.fd : -1);
    }
}

} // namespace brennic

// The pipelined command loop. Commands sit in a ring of slots in input order, from the
// oldest one not yet printed (the head) to the newest. A request goes out as an
// asynchronous request whose id names its slot, and comes back through brennic_poll. The
// head prints straight to the output; a later command's output waits in its slot (its
// record, its search lines, or the text of a command that sends nothing) until every
// command before it has printed.
//
// Per command it does what the one-at-a-time loop does: the same rendering (shared through
// render_finished and run_command), one resend of a request that comes back failed unless
// it handed lines already, and the no-reply line once its wait limit has passed.
#include "shell/pipeline.h"

#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
#include "base/text.h"
#include "brennic.h"
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

// Idle rounds: the first few only yield the processor, then the sleeps grow from the first
// to the short cap, and after kShortSleepsMs of idleness to the long cap. A reply or a new
// input line ends the idle run. The short cap bounds how late a reply is seen after a
// network round trip; the long one what a server that keeps the console waiting costs.
constexpr int kYieldRounds = 8;
constexpr long kFirstSleepUs = 20;
constexpr long kShortCapUs = 100;
constexpr long kLongCapUs = 1000;
constexpr std::int64_t kShortSleepsMs = 100;
// How often, while idle, the requests in flight are checked against their wait limit.
constexpr std::int64_t kGiveUpCheckMs = 100;

struct slot {
    request_kind kind; // none: a command that sends nothing, printed when it was read
    std::int32_t id;   // the request id
    int ok;            // what the request operation returned
    bool finished;     // its outcome is known; it prints at its turn
    bool resent;       // sent a second time (or the library already did)
    bool lines_handed; // a search that has handed reply lines
    brennic_result *r; // the record of the current attempt; null once given up
    char *user;        // owned copies of the arguments (search: the line as sent)
    char *password;    // check, set and mod
    char *rest;        // set and mod
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
    if (s.held == nullptr) s.held = open_memstream(&s.held_data, &s.held_size);
    return s.held != nullptr ? s.held : shell_out;
}

int search_line(int id, const char *line) {
    if (id < 0) return 0;
    slot &s = ring[id % kPipelineDepthMax];
    if (s.id != id || s.kind != request_kind::search || s.finished) return 0;
    s.lines_handed = true;
    put_text_line(sink_of(s), line != nullptr ? line : "");
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

void start_command(const char *line) {
    static command_line c; // 100 KB: kept off the stack
    parse_line(line, c);
    const long long seq = tail_seq++;
    slot &s = slot_of(seq);
    s = slot{};
    s.id = static_cast<std::int32_t>(seq % kIdSpan);
    const request_kind kind = request_of(c.cmd);
    if (kind == request_kind::none || !fields_fit(c, kind)) {
        // Sends nothing: run now, its output held until its turn.
        s.finished = true;
        std::FILE *const out = shell_out;
        shell_out = sink_of(s);
        run_command(c);
        shell_out = out;
        return;
    }
    s.kind = kind;
    const bool has_password =
        kind == request_kind::check || kind == request_kind::set || kind == request_kind::mod;
    const bool has_rest = kind == request_kind::set || kind == request_kind::mod;
    s.user = copy_of(kind == request_kind::search ? c.line_copy : c.arg1);
    if (has_password) s.password = copy_of(c.arg2);
    if (has_rest) s.rest = copy_of(c.rest);
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
            std::fclose(s.held);
            s.held = nullptr;
            std::fwrite(s.held_data, 1, s.held_size, shell_out);
            std::free(s.held_data);
            s.held_data = nullptr;
            printed = true;
        }
        if (!s.finished) break;
        if (s.kind != request_kind::none)
            render_finished(s.kind, s.ok, s.r, s.user != nullptr ? s.user : "", s.lines_handed);
        release(s);
        ++head_seq;
        printed = true;
    }
    return printed;
}

// Requests in flight past their wait limit are given up: taken out of the library's pending
// list (a late reply to their id is then dropped as unknown) and printed without a reply.
void give_up_overdue(std::int64_t now_ms, long limit_ms) {
    for (long long seq = head_seq; seq < tail_seq; ++seq) {
        slot &s = slot_of(seq);
        if (s.finished || s.r == nullptr || now_ms - s.sent_ms <= limit_ms) continue;
        brennic_free(&s.r);
        s.finished = true;
    }
}

// Standard input read in blocks, so that whether a line is at hand can be asked without
// waiting. Lines are cut as the one-at-a-time loop's fgets cuts them: through the LF, or
// kShellReadLimit - 1 characters, or what is left at the end of input. A stream without a
// descriptor (a memory stream) is read with fgets, which never waits on it.
struct input_reader {
    std::FILE *file;
    int fd;
    char buf[kInputBufSize];
    std::size_t start;
    std::size_t end;
    bool at_end;
};

input_reader reader;

enum class input { line, none_yet, end };

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

input next_line(char (&line)[kShellBufSize], bool may_wait) {
    input_reader &rd = reader;
    if (rd.fd < 0)
        return std::fgets(line, kShellReadLimit, rd.file) != nullptr ? input::line : input::end;
    constexpr std::size_t kLongest = kShellReadLimit - 1;
    for (;;) {
        const std::size_t held = rd.end - rd.start;
        const char *from = rd.buf + rd.start;
        const void *lf = std::memchr(from, '\n', held < kLongest ? held : kLongest);
        std::size_t length = 0;
        if (lf != nullptr)
            length = static_cast<std::size_t>(static_cast<const char *>(lf) - from) + 1;
        else if (held >= kLongest)
            length = kLongest;
        else if (rd.at_end)
            length = held;
        if (length > 0) {
            std::memcpy(line, from, length);
            line[length] = '\0';
            rd.start += length;
            return input::line;
        }
        if (rd.at_end) return input::end;
        if (!may_wait && !readable(rd.fd)) return input::none_yet;
        std::memmove(rd.buf, from, held);
        rd.start = 0;
        rd.end = held;
        const ssize_t n = read(rd.fd, rd.buf + rd.end, sizeof rd.buf - rd.end);
        if (n < 0 && errno == EINTR) continue;
        // A read error ends the input, as it ends fgets.
        if (n <= 0)
            rd.at_end = true;
        else
            rd.end += static_cast<std::size_t>(n);
    }
}

// One idle round: yield, or sleep, waking early when input_fd (not -1) has input.
void idle(int round, std::int64_t idle_ms, int input_fd) {
    if (round < kYieldRounds) {
        sched_yield();
        return;
    }
    const int doublings = round - kYieldRounds;
    const long cap = idle_ms < kShortSleepsMs ? kShortCapUs : kLongCapUs;
    long us = cap;
    if (doublings < 16) us = kFirstSleepUs << doublings;
    if (us > cap) us = cap;
    const timespec pause{0, us * 1000};
    pollfd p{input_fd, POLLIN, 0};
    ppoll(&p, input_fd >= 0 ? 1 : 0, &pause, nullptr);
}

} // namespace

bool run_pipeline(std::FILE *in, const pipeline_settings &settings) {
    reader.file = in;
    reader.fd = fileno(in);
    reader.start = reader.end = 0;
    reader.at_end = false;
    static char line[kShellBufSize];
    bool input_done = false;
    int idle_round = 0;
    std::int64_t last_check_ms = monotonic_ms();
    std::int64_t idle_since_ms = last_check_ms;
    for (;;) {
        bool progress = false;
        // Commands are read while there is room; input is waited for only when nothing is
        // outstanding, since the output of what is must not wait for the next line.
        while (!input_done && !quit_flag && tail_seq - head_seq < settings.depth) {
            const input got = next_line(line, tail_seq == head_seq);
            if (got == input::none_yet) break;
            if (got == input::end) {
                input_done = true;
                break;
            }
            start_command(line);
            progress = true;
        }
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
            give_up_overdue(now, settings.wait_limit_ms);
            last_check_ms = now;
        }
        if (progress) {
            idle_round = 0;
            continue;
        }
        if (idle_round == 0) idle_since_ms = now;
        const bool room = tail_seq - head_seq < settings.depth;
        idle(idle_round++, now - idle_since_ms, reading && room ? reader.fd : -1);
    }
}

} // namespace brennic

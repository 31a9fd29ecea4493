// The response reader fed by a fake server: the socket layer's receive hands out the input
// in fixed-size pieces, so lines arrive whole, split and joined in every way.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/diag.h"
#include "fuzz/harness.h"
#include "fuzz/support.h"
#include "lib/cipher/keystream.h"
#include "lib/state.h"
#include "net/platform.h"
#include "net/tcp.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kTarget = "reader";
constexpr int kFakeSocket = 1001;
constexpr int kMaxRecords = 4;
constexpr std::int32_t kIds[4] = {-1, 0, 5, 2147483647};
constexpr const char *kFailureText = "-ERR brenniclib failed while talking to brennic server";

enum class stream_end { nothing_more, closed, reset };

// The fake server's side of the link.
struct server_feed {
    std::string bytes;
    std::size_t pos = 0;
    std::size_t chunk = 1;
    std::size_t chunk_left = 0; // bytes of the current receive piece not yet handed out
    stream_end end = stream_end::nothing_more;
    int closes = 0;
};

server_feed feed;
reader_outcome outcome;
brennic_result *callback_owner = nullptr;
std::string last_callback_line;

bool starts_with(const std::string &text, const char *prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

ssize_t fake_recv(int sock, void *buffer, size_t length, int) {
    expect(sock == kFakeSocket, kTarget, "receive on the link's socket");
    const brennic_host &h = hosts[0];
    const char *at = static_cast<const char *>(buffer);
    expect(length >= 1 && static_cast<int>(length) <= kLineMax, kTarget, "receive size in range");
    expect(at >= h.inbuf && at + length < h.inbuf + sizeof h.inbuf, kTarget,
           "receive and its terminator stay inside the host buffer");
    if (feed.pos >= feed.bytes.size()) {
        switch (feed.end) {
        case stream_end::closed:
            return 0;
        case stream_end::reset:
            errno = ECONNRESET;
            return -1;
        case stream_end::nothing_more:
            errno = EAGAIN;
            return -1;
        }
    }
    if (feed.chunk_left == 0) feed.chunk_left = std::min(feed.chunk, feed.bytes.size() - feed.pos);
    const std::size_t n = std::min(feed.chunk_left, length);
    std::memcpy(buffer, feed.bytes.data() + feed.pos, n);
    feed.pos += n;
    feed.chunk_left -= n;
    return static_cast<ssize_t>(n);
}

int fake_close(int sock) {
    expect(sock == kFakeSocket, kTarget, "only the link's socket is closed");
    ++feed.closes;
    return 0;
}

ssize_t refuse_send(int, const void *, size_t, int) { fail(kTarget, "the reader never sends"); }

int check_log(int level, const char *text) {
    expect(text != nullptr, kTarget, "log text present");
    expect(std::strlen(text) <= static_cast<std::size_t>(kDiagMax), kTarget, "log line bounded");
    if (level >= kLevelInfo)
        expect(std::strpbrk(text, "\r\n") == nullptr, kTarget, "info and error lines are one line");
    return 0;
}

int on_line(int id, const char *line) {
    expect(callback_owner != nullptr && id == callback_owner->id, kTarget,
           "line callback gets its result's id");
    expect(line != nullptr, kTarget, "line callback gets a text");
    const std::size_t length = std::strlen(line);
    expect(length <= static_cast<std::size_t>(kReplyTextMax), kTarget, "callback text bounded");
    expect(std::memchr(line, '\n', length) == nullptr, kTarget, "callback text holds no LF");
    last_callback_line.assign(line, length);
    outcome.lines.push_back(last_callback_line);
    return 0;
}

bool is_linked(const brennic_result *r) {
    for (const brennic_result *p = rlist; p != nullptr; p = p->next)
        if (p == r) return true;
    return false;
}

void check_host() {
    const brennic_host &h = hosts[0];
    expect(h.inlen >= 0 && h.inlen <= kLineMax, kTarget, "inlen within the buffer's cap");
    if (h.open == 0) {
        expect(h.sock == kNoSocket, kTarget, "a failed link keeps no socket");
        for (const brennic_result *p = rlist; p != nullptr; p = p->next)
            if (p->host == &h)
                expect(p->failed == 1, kTarget, "a failed link flags its pending results");
    }
}

void check_collected(brennic_result *r, brennic_result *const *mine, int count,
                     std::vector<bool> &seen) {
    int index = -1;
    for (int i = 0; i < count; ++i)
        if (mine[i] == r) index = i;
    expect(index >= 0, kTarget, "poll hands back a pending result");
    expect(!seen[static_cast<std::size_t>(index)], kTarget, "a result is collected once");
    seen[static_cast<std::size_t>(index)] = true;
    expect(!is_linked(r), kTarget, "a collected result is out of the pending list");
    expect(r->text != nullptr, kTarget, "a collected result has a text");
    const std::string text = r->text;
    if (r->failed != 0) {
        expect(text == kFailureText && r->ok == 0, kTarget,
               "a failed result carries the failure text");
    } else {
        expect(text.size() <= static_cast<std::size_t>(kReplyTextMax), kTarget,
               "reply text bounded");
        expect(text.find_first_of("\r\n") == std::string::npos, kTarget,
               "reply text has no CR or LF");
        expect(!starts_with(text, "+DATA"), kTarget,
               "an intermediate line never completes a result");
        expect(r->ok == (starts_with(text, "+OK") ? 1 : 0), kTarget, "ok follows the +OK prefix");
        if (r == callback_owner) {
            // The final line went through the callback before it was cut at its first CR.
            const std::string cut = last_callback_line.substr(0, last_callback_line.find('\r'));
            expect(as_text(cut) == text, kTarget, "the last callback line is the final text");
        }
    }
    outcome.results.push_back({r->id, r->ok, r->failed, text});
}

} // namespace

const reader_outcome &last_reader_outcome() { return outcome; }

int reader_one(const std::uint8_t *data, std::size_t size) {
    byte_source in(data, size);
    const std::size_t chunk = chunk_size(in.take_byte());
    const std::uint8_t flags = in.take_byte();
    const auto seed = static_cast<std::int32_t>(static_cast<std::int8_t>(in.take_byte()));
    const std::uint8_t id_bits = in.take_byte();

    reset_library();
    outcome = reader_outcome{};
    feed = server_feed{};
    feed.bytes = in.take_rest();
    feed.chunk = chunk;
    switch ((flags >> 1) & 3) {
    case 1:
        feed.end = stream_end::closed;
        break;
    case 2:
        feed.end = stream_end::reset;
        break;
    default:
        feed.end = stream_end::nothing_more;
        break;
    }
    if (flags & 1) {
        // What the server meant to say, enciphered with a twin of the link's generator.
        mt_ptr twin(mt_seed(seed));
        keystream_sub(twin.get(), reinterpret_cast<unsigned char *>(feed.bytes.data()),
                      static_cast<std::int32_t>(feed.bytes.size()));
    }

    sys.recv = fake_recv;
    sys.close = fake_close;
    sys.send = refuse_send;
    set_log_callback(check_log);

    brennic_host &h = hosts[0];
    std::memcpy(h.name, "fuzz", 5);
    h.sock = kFakeSocket;
    h.open = 1;
    h.inlen = 0;
    h.scanned = 0;
    h.discarding = 0;
    h.inbuf[0] = '\0';
    h.rx.reset(mt_seed(seed));
    h.tx.reset(mt_seed(seed));
    host_count = 1;
    current_host = 0;

    const int count = 1 + ((flags >> 3) & 3);
    const int callback_index = (flags >> 6) & 3;
    brennic_result *mine[kMaxRecords] = {};
    callback_owner = nullptr;
    for (int i = 0; i < count; ++i) {
        brennic_result *r = new_result();
        expect(r != nullptr, kTarget, "a record can be had");
        r->id = kIds[(id_bits >> (2 * i)) & 3];
        r->sent = 1;
        r->host = (i == 0 && (flags & 0x20)) ? nullptr : &h;
        if (i == callback_index) {
            r->on_line = on_line;
            callback_owner = r;
        }
        link_pending(r);
        mine[i] = r;
    }

    // Poll until nothing moves any more: no byte received, no line consumed, no result
    // collected. Every poll that moves consumes input or a result, which bounds the loop.
    std::vector<bool> seen(static_cast<std::size_t>(count), false);
    const std::size_t limit = 2 * feed.bytes.size() + 64;
    for (std::size_t round = 0; round < limit; ++round) {
        const std::size_t pos_before = feed.pos;
        const std::int32_t inlen_before = h.inlen;
        const std::int32_t open_before = h.open;
        brennic_result *r = nullptr;
        const int got = poll_results(&r);
        check_host();
        if (got == 1) {
            check_collected(r, mine, count, seen);
            continue;
        }
        if (feed.pos == pos_before && h.inlen == inlen_before && h.open == open_before) break;
    }

    for (int i = 0; i < count; ++i) {
        if (!seen[static_cast<std::size_t>(i)]) {
            ++outcome.still_pending;
            expect(mine[i]->text == nullptr, kTarget, "an uncollected result has no text");
        }
    }
    outcome.link_open = h.open != 0;

    for (brennic_result *&r : mine)
        if (r != nullptr) free_result(&r);
    callback_owner = nullptr;
    reset_library();
    set_log_callback(nullptr);
    reset_socket_calls();
    return 0;
}

} // namespace brennic::fuzz

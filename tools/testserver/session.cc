#include "tools/testserver/session.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace brennic::testserver {

namespace {

// Reads a decimal prefix the way the client writes ids: optional sign, then digits; no
// digits give 0. Values outside 32 bits saturate.
std::int32_t leading_int(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > INT64_C(1) << 32) break;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

std::vector<std::string_view> tokens_of(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// The second word of a final reply text is replaced by name.
std::string with_user(std::string_view text, std::string_view name) {
    std::size_t sp = text.find(' ');
    if (sp == std::string_view::npos) return std::string(text);
    std::size_t end = text.find(' ', sp + 1);
    std::string s(text.substr(0, sp + 1));
    s.append(name);
    if (end != std::string_view::npos) s.append(text.substr(end));
    return s;
}

} // namespace

session::session(server_context &ctx) : ctx_(ctx), serial_(ctx.next_serial++) {
    record("connect", {});
}

void session::record(const char *event, std::string_view text) {
    if (ctx_.transcript == nullptr) return;
    std::fprintf(ctx_.transcript, "%ld %s", serial_, event);
    if (!text.empty()) {
        std::fputc(' ', ctx_.transcript);
        std::fwrite(text.data(), 1, text.size(), ctx_.transcript);
    }
    std::fputc('\n', ctx_.transcript);
    std::fflush(ctx_.transcript);
}

void session::consume(std::size_t n) {
    unpaced_ -= std::min(unpaced_, n);
    out_head_ += n;
    if (out_head_ >= out_.size()) {
        out_.clear();
        out_head_ = 0;
    } else if (out_head_ > 65536 && out_head_ * 2 > out_.size()) {
        // Compacting only once the sent part dominates keeps the cost linear.
        out_.erase(0, out_head_);
        out_head_ = 0;
    }
}

void session::queue_plain(std::string_view text) {
    out_.append(text);
    unpaced_ += text.size();
}

void session::queue_line(std::int32_t id, std::string_view text) {
    char idbuf[16];
    auto res = std::to_chars(idbuf, idbuf + sizeof idbuf, id);
    block_.append(idbuf, res.ptr);
    block_.push_back(' ');
    block_.append(text);
    block_.append("\r\n");
}

void session::encipher_out(std::string_view plain) {
    std::size_t start = out_.size();
    out_.append(plain);
    // Every byte after the handshake reply is enciphered in stream order, as it is queued.
    encipher(*tx_, reinterpret_cast<unsigned char *>(out_.data() + start), out_.size() - start);
}

void session::reply_line(std::int32_t id, std::string_view text) {
    if (requests_ <= ctx_.opts->hold) {
        hold_lines_.emplace_back(id, std::string(text));
        return;
    }
    queue_line(id, text);
}

void session::commit_block() {
    const server_options &o = *ctx_.opts;
    const int copies = o.duplicate_every > 0 && requests_ % o.duplicate_every == 0 ? 2 : 1;
    if (o.reply_delay_ms == 0 && o.reply_jitter_ms == 0) {
        for (int i = 0; i < copies; ++i)
            encipher_out(block_);
    } else {
        long long due = now_us_ + static_cast<long long>(o.reply_delay_ms) * 1000;
        if (o.reply_jitter_ms > 0) {
            // A fixed sequence per link, so that a run can be repeated.
            jitter_state_ = jitter_state_ * 1103515245u + 12345u;
            due += 1000 * static_cast<long long>((jitter_state_ >> 16) %
                                                 static_cast<std::uint32_t>(o.reply_jitter_ms + 1));
        }
        for (int i = 0; i < copies; ++i)
            held_.emplace(due, block_); // after the others of the same due time
    }
    block_.clear();
}

void session::release(long long now_us) {
    while (!held_.empty() && held_.begin()->first <= now_us) {
        encipher_out(held_.begin()->second);
        held_.erase(held_.begin());
    }
}

session_action session::feed(const char *bytes, std::size_t length) {
    if (closing_ || phase_ == phase::mute) {
        holding_ = false; // nothing more is taken: nothing is held for later
        return session_action::none;
    }
    std::size_t old = in_.size();
    if (length > 0) in_.append(bytes, length);
    if (phase_ == phase::exchange && length > 0) {
        decipher(*rx_, reinterpret_cast<unsigned char *>(in_.data() + old), length);
    }
    std::size_t pos = 0;
    session_action act = session_action::none;
    holding_ = false;
    while (act == session_action::none && !closing_ && phase_ != phase::mute) {
        if (output().size() > kOutputHighWater) {
            holding_ = in_.find('\n', pos) != std::string::npos;
            if (holding_) break;
        }
        std::size_t lf = in_.find('\n', std::max(pos, scanned_));
        if (lf == std::string::npos) {
            scanned_ = in_.size() - pos; // offset after the erase below
            break;
        }
        scanned_ = 0;
        std::string_view line(in_.data() + pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = lf + 1;
        if (phase_ == phase::handshake) {
            act = take_handshake(line);
            if (phase_ == phase::exchange && pos < in_.size()) {
                // Bytes that came with the handshake line belong to the enciphered stream.
                decipher(*rx_, reinterpret_cast<unsigned char *>(in_.data() + pos),
                         in_.size() - pos);
            }
        } else {
            act = take_request(line);
        }
    }
    in_.erase(0, pos);
    if (act == session_action::none && !holding_ && in_.size() > kInputMax) {
        record("overlong-input", {});
        return session_action::reset_now;
    }
    if (act == session_action::none && closing_) return session_action::close_when_sent;
    return act;
}

session_action session::take_handshake(std::string_view line) {
    record("handshake", line);
    const server_options &o = *ctx_.opts;
    switch (o.handshake) {
    case handshake_mode::silent:
        phase_ = phase::mute;
        return session_action::none;
    case handshake_mode::one_byte:
        queue_plain("1");
        phase_ = phase::mute;
        return session_action::none;
    case handshake_mode::refuse:
        queue_plain("1 -ERR handshake refused\r\n");
        closing_ = true;
        return session_action::close_when_sent;
    case handshake_mode::normal:
        break;
    }
    auto tok = tokens_of(line);
    if (tok.size() < 4 || tok[1] != "ENCRYPT") {
        queue_plain("1 -ERR bad handshake\r\n");
        closing_ = true;
        return session_action::close_when_sent;
    }
    if (o.check_hash && leading_int(tok[3]) != hash_remainder(ctx_.secret_hash)) {
        queue_plain("1 -ERR bad secret\r\n");
        closing_ = true;
        return session_action::close_when_sent;
    }
    char reply[48];
    int n = std::snprintf(reply, sizeof reply, "1 +ENCRYPT %ld\r\n", static_cast<long>(o.number));
    queue_plain(std::string_view(reply, static_cast<std::size_t>(n)));
    std::uint32_t seed =
        static_cast<std::uint32_t>(ctx_.secret_hash) + static_cast<std::uint32_t>(o.number);
    rx_.emplace(seed);
    tx_.emplace(seed);
    phase_ = phase::exchange;
    return session_action::none;
}

session_action session::take_request(std::string_view line) {
    record("request", line);
    const server_options &o = *ctx_.opts;
    ++requests_;
    ++ctx_.requests_seen;
    if (o.die_after >= 0 && ctx_.requests_seen > o.die_after) return session_action::stop_server;
    if (o.close_after >= 0 && requests_ > o.close_after) {
        closing_ = true;
        return session_action::close_when_sent;
    }
    if (o.reset_at >= 1 && requests_ == o.reset_at) return session_action::reset_now;

    std::int32_t id = leading_int(line);
    std::size_t sp = line.find(' ');
    std::string_view text =
        (sp == std::string_view::npos) ? std::string_view{} : line.substr(sp + 1);
    std::int32_t out_id =
        o.unknown_id ? static_cast<std::int32_t>(static_cast<std::uint32_t>(id) + 1000u) : id;

    if (o.garbage_bytes > 0 && !first_reply_done_) {
        // Junk that deciphers to a line the client cannot match: high bytes, no digits first.
        line_.assign(static_cast<std::size_t>(o.garbage_bytes), '\0');
        std::uint32_t x = 12345u;
        for (auto &c : line_) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(0x80 + (x >> 16) % 0x7F);
        }
        block_.append(line_);
        block_.append("\r\n");
    }
    first_reply_done_ = true;
    if (o.overlong_bytes > 0) {
        line_.assign("+DATA ");
        line_.append(static_cast<std::size_t>(o.overlong_bytes), 'x');
        queue_line(out_id, line_);
    }
    if (o.nul_in_reply) {
        static constexpr char kNulData[] = "+DATA nul\0\0inside";
        queue_line(out_id, std::string_view(kNulData, sizeof kNulData - 1));
    }
    ctx_.dir->answer(text, replies_);
    for (std::size_t i = 0; i < replies_.size(); ++i) {
        const bool final_line = i + 1 == replies_.size();
        if (final_line && !o.wrong_user.empty()) line_ = with_user(replies_[i], o.wrong_user);
        const std::string &reply = final_line && !o.wrong_user.empty() ? line_ : replies_[i];
        reply_line(out_id, reply);
        if (final_line && o.reply_twice) reply_line(out_id, reply);
    }
    if (o.hold > 0 && requests_ == o.hold + 1) {
        for (const auto &[held_id, held_text] : hold_lines_)
            queue_line(held_id, held_text);
        hold_lines_.clear();
    }
    commit_block();
    return session_action::none;
}

} // namespace brennic::testserver

#include "bench/requests/baseline_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

#include "lib/cipher/secret_hash.h"

namespace brennic::bench {

namespace {

constexpr std::size_t kSecretMax = 399;
constexpr std::size_t kHandshakeReplyMax = 200;
constexpr int kHashModulus = 20;

// Tokens split at space, CR, LF and TAB.
std::vector<std::string_view> split_tokens(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; };
    while (i < text.size()) {
        while (i < text.size() && blank(text[i]))
            ++i;
        std::size_t start = i;
        while (i < text.size() && !blank(text[i]))
            ++i;
        if (i > start) out.push_back(text.substr(start, i - start));
    }
    return out;
}

bool send_whole(int fd, const char *bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::send(fd, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string read_secret_line(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    line = line.substr(0, line.find_first_of("\r\n"));
    if (line.size() > kSecretMax) line.resize(kSecretMax);
    return line;
}

std::int32_t line_id(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
        ++i;
    if (i < line.size() && line[i] == '+') ++i;
    std::int32_t id = 0;
    std::from_chars(line.data() + i, line.data() + line.size(), id);
    return id;
}

std::string_view line_text(std::string_view line) {
    std::size_t sp = line.find(' ');
    return sp == std::string_view::npos ? std::string_view{} : line.substr(sp + 1);
}

baseline_client::~baseline_client() { close(); }

void baseline_client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    rx_.reset();
    tx_.reset();
    head_ = tail_ = 0;
}

bool baseline_client::open(int port, const std::string &secret) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    const std::int32_t hash = secret_hash(secret.c_str());
    const std::string hello = "1 ENCRYPT NORMAL " + std::to_string(hash % kHashModulus) + "\r\n";
    if (!send_whole(fd_, hello.data(), hello.size())) {
        close();
        return false;
    }
    // The handshake reply is plaintext: read it up to its LF, one byte at a time so that no
    // enciphered byte after it is taken as plaintext.
    std::string reply;
    char c = 0;
    while (reply.size() < kHandshakeReplyMax) {
        ssize_t n = ::recv(fd_, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.push_back(c);
        if (c == '\n') break;
    }
    auto tokens = split_tokens(reply);
    if (tokens.size() < 3 || tokens[1] != "+ENCRYPT") {
        close();
        return false;
    }
    const std::int32_t number = line_id(tokens[2]);
    const auto seed = static_cast<std::int32_t>(static_cast<std::uint32_t>(hash) +
                                                static_cast<std::uint32_t>(number));
    rx_.reset(mt_seed(seed));
    tx_.reset(mt_seed(seed));
    if (!rx_ || !tx_) {
        close();
        return false;
    }
    return true;
}

void baseline_client::append_line(std::string &out, std::int32_t id, std::string_view text) {
    char idbuf[16];
    auto res = std::to_chars(idbuf, idbuf + sizeof idbuf, id);
    out.append(idbuf, res.ptr);
    out.push_back(' ');
    out.append(text);
    out.append("\r\n");
}

bool baseline_client::send_line(std::int32_t id, std::string_view text) {
    out_.clear();
    append_line(out_, id, text);
    return send_batch(out_);
}

bool baseline_client::send_batch(std::string &plain) {
    if (fd_ < 0) return false;
    keystream_sub(tx_.get(), reinterpret_cast<unsigned char *>(plain.data()),
                  static_cast<std::int32_t>(plain.size()));
    if (send_whole(fd_, plain.data(), plain.size())) return true;
    close();
    return false;
}

bool baseline_client::fill() {
    if (head_ == tail_) head_ = tail_ = 0;
    if (tail_ == in_.size()) {
        if (head_ == 0) return false; // a line longer than the buffer: not expected here
        std::memmove(in_.data(), in_.data() + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, in_.data() + tail_, in_.size() - tail_, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        keystream_add(rx_.get(), reinterpret_cast<unsigned char *>(in_.data() + tail_),
                      static_cast<std::int32_t>(n));
        tail_ += static_cast<std::size_t>(n);
        return true;
    }
}

bool baseline_client::read_line(std::string &line) {
    if (fd_ < 0) return false;
    std::size_t scanned = head_;
    for (;;) {
        const void *lf = std::memchr(in_.data() + scanned, '\n', tail_ - scanned);
        if (lf != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char *>(lf) - in_.data());
            std::size_t end = at;
            if (end > head_ && in_[end - 1] == '\r') --end;
            line.assign(in_.data() + head_, end - head_);
            head_ = at + 1;
            return true;
        }
        const std::size_t pending = tail_ - head_;
        if (!fill()) {
            close();
            return false;
        }
        scanned = head_ + pending; // bytes already searched need no second look
    }
}

bool baseline_client::request(std::int32_t id, std::string_view text, std::string &reply) {
    if (!send_line(id, text)) return false;
    std::string line;
    for (;;) {
        if (!read_line(line)) return false;
        std::string_view t = line_text(line);
        if (t.substr(0, 5) == "+DATA") continue;
        reply.assign(t);
        return true;
    }
}

} // namespace brennic::bench

#include "tests/unit/lib/support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "base/diag.h"
#include "lib/cipher/secret_hash.h"
#include "net/platform.h"
#include "net/tcp.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/socket_checks.h"

namespace brennic::test {

namespace {

std::vector<std::string> &secret_paths() {
    static std::vector<std::string> paths;
    return paths;
}

// The server's thread calls the platform directly: `sys` may hold a test's fakes, and the
// socket layer's functions record errors in the library's state.
const socket_calls &os = real_calls();

// Waits up to ms for sock to be readable; false on time-out.
bool readable(int sock, int ms) {
    poll_entry entry{sock, POLLIN, 0};
    return os.poll(&entry, 1, ms) > 0;
}

} // namespace

void LibraryTest::SetUp() {
    start_sockets();
    reset_library();
    clear_log();
    set_log_callback(capture_log);
}

void LibraryTest::TearDown() {
    reset_library();
    for (const auto &p : secret_paths())
        std::remove(p.c_str());
    secret_paths().clear();
}

std::string secret_file(const std::string &text) {
    static std::mt19937_64 names{std::random_device{}()};
    std::error_code error;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(error);
    if (error) return "";
    const std::string path = (dir / ("brennic_secret_" + std::to_string(names()))).string();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return "";
    const std::string line = text + "\n";
    const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
    std::fclose(file);
    secret_paths().push_back(path);
    return written ? path : "";
}

server_cipher::server_cipher(std::int32_t seed)
    : to_client(mt_seed(seed)), from_client(mt_seed(seed)) {}

std::string server_cipher::encipher(const std::string &plain) {
    std::string s = plain;
    keystream_sub(to_client.get(), reinterpret_cast<unsigned char *>(s.data()),
                  static_cast<std::int32_t>(s.size()));
    return s;
}

std::string server_cipher::decipher(const std::string &wire) {
    std::string s = wire;
    keystream_add(from_client.get(), reinterpret_cast<unsigned char *>(s.data()),
                  static_cast<std::int32_t>(s.size()));
    return s;
}

paired_host::paired_host(int index, std::int32_t seed) : host(&hosts[index]), cipher(seed) {
    // A TCP connection on 127.0.0.1, as the link really is; the library's end non-blocking.
    int fds[2] = {-1, -1};
    if (!loopback_pair(fds)) ADD_FAILURE() << "no TCP pair on 127.0.0.1";
    os.set_nonblocking(fds[0], 1);
    std::snprintf(host->name, sizeof host->name, "pair%d", index);
    host->sock = fds[0];
    host->open = 1;
    host->rx.reset(mt_seed(seed));
    host->tx.reset(mt_seed(seed));
    host->inlen = 0;
    host->scanned = 0;
    host->discarding = 0;
    // Any link setup for this host in the next minute is refused without a network call.
    host->last_try = hooks.now();
    peer = fds[1];
}

paired_host::~paired_host() { close_peer(); }

void paired_host::send(const std::string &plain) {
    const std::string wire = cipher.encipher(plain);
    std::size_t done = 0;
    while (done < wire.size()) {
        const ssize_t w = os.send(peer, wire.data() + done, wire.size() - done, kSendNoSignal);
        if (w <= 0) {
            ADD_FAILURE() << "write to the client failed";
            return;
        }
        done += static_cast<std::size_t>(w);
    }
}

std::string paired_host::received() {
    std::string wire;
    char buf[4096];
    for (;;) {
        const ssize_t r = os.recv(peer, buf, sizeof buf, kRecvNoWait);
        if (r <= 0) break;
        wire.append(buf, static_cast<std::size_t>(r));
    }
    return cipher.decipher(wire);
}

void paired_host::close_peer() {
    if (peer >= 0) os.close(peer);
    peer = -1;
}

fake_server::fake_server(greeting g, std::int32_t n, std::string secret, bool ipv6)
    : greeting_(g), n_(n), secret_(std::move(secret)), ipv6_(ipv6) {
    // A machine without an IPv6 loopback leaves the server not listening (port 0).
    listener_ = listen_loopback(ipv6 ? AF_INET6 : AF_INET, 4);
    if (listener_ < 0 && !ipv6) ADD_FAILURE() << "cannot listen on 127.0.0.1";
    port_ = listener_ < 0 ? 0 : bound_port(listener_);
    thread_ = std::thread([this] { run(); });
}

fake_server::~fake_server() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0) os.close(listener_);
}

std::string fake_server::entry() const {
    return (ipv6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_);
}

std::vector<std::string> fake_server::handshakes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handshakes_;
}

std::vector<std::string> fake_server::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void fake_server::set_responder(std::function<std::string(const std::string &)> fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(fn);
}

bool fake_server::wait_requests(std::size_t count, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (requests().size() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return requests().size() >= count;
}

void fake_server::run() {
    while (!stop_ && listener_ >= 0) {
        if (!readable(listener_, 50)) continue;
        const int client = os.accept(listener_, nullptr, nullptr);
        if (client < 0) continue;
        ++accepted_;
        serve(client);
        os.close(client);
    }
}

void fake_server::serve(int client) {
    // The handshake line, up to its LF.
    std::string hello;
    char c = 0;
    for (int waited = 0; !stop_ && waited < 3000 && hello.find('\n') == std::string::npos;) {
        if (!readable(client, 50)) {
            waited += 50;
            continue;
        }
        if (os.recv(client, &c, 1, 0) != 1) return;
        hello.push_back(c);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handshakes_.push_back(hello);
    }

    std::string reply;
    std::int32_t n = n_;
    switch (greeting_) {
    case greeting::close:
        return;
    case greeting::silent:
        break;
    case greeting::one_byte:
        reply = "1";
        break;
    case greeting::refuse:
        reply = refusal_;
        break;
    case greeting::accept:
    case greeting::deaf:
    case greeting::steady:
        reply = "1 +ENCRYPT " + std::to_string(n_) + "\r\n";
        if (!early_.empty()) {
            const auto seed =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(secret_hash(secret_.c_str())) +
                                          static_cast<std::uint32_t>(n_));
            reply += server_cipher(seed).encipher(early_);
        }
        break;
    case greeting::accept_no_number:
        reply = "1 +ENCRYPT\r\n";
        n = 0;
        break;
    }
    for (int waited = 0; waited < delay_ms_ && !stop_; waited += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!reply.empty() && os.send(client, reply.data(), reply.size(), kSendNoSignal) < 0) return;
    if (greeting_ == greeting::deaf) {
        while (!stop_)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return;
    }
    if (greeting_ == greeting::steady) {
        std::vector<char> sink(64 * 1024);
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(32));
            for (std::size_t got = 0; got < sink.size() && readable(client, 0);) {
                const ssize_t r = os.recv(client, sink.data(), sink.size() - got, 0);
                if (r <= 0) return;
                got += static_cast<std::size_t>(r);
            }
        }
        return;
    }

    const bool accepted = greeting_ == greeting::accept || greeting_ == greeting::accept_no_number;
    const auto seed = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(secret_hash(secret_.c_str())) + static_cast<std::uint32_t>(n));
    server_cipher cipher(seed);
    if (!early_.empty() && accepted) cipher.encipher(early_); // already sent, in step
    std::string pending;
    char buf[4096];
    while (!stop_) {
        if (!readable(client, 50)) continue;
        const ssize_t r = os.recv(client, buf, sizeof buf, 0);
        if (r <= 0) return; // the client closed the link
        if (!accepted) continue;
        pending += cipher.decipher(std::string(buf, static_cast<std::size_t>(r)));
        for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::function<std::string(const std::string &)> responder;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(line);
                responder = responder_;
            }
            const std::string answer = responder ? responder(line) : std::string();
            if (answer.empty()) continue;
            const std::string wire = cipher.encipher(answer);
            if (os.send(client, wire.data(), wire.size(), kSendNoSignal) < 0) return;
            if (close_after_reply_) return;
        }
    }
}

} // namespace brennic::test

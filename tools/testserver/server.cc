#include "tools/testserver/server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/platform.h"
#include "net/server_calls.h"
#include "net/socket_errors.h"
#include "net/tcp.h"
#include "tools/testserver/session.h"

namespace brennic::testserver {

namespace {

// Set from a signal handler, or on Windows from the thread a console event runs on.
std::atomic<int> stop_flag{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kIdleWaitMs = 1000;
constexpr std::size_t kRecvChunk = 65536;
// Out of descriptors, the listener would stay readable and poll would return at once for
// as long as the shortage lasts: it is left unwatched for this long instead.
constexpr long long kAcceptPauseMs = 100;

long long now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long now_ms() { return now_us() / 1000; }

struct connection {
    int fd = -1;
    std::unique_ptr<session> s;
    long long next_send_ms = 0;   // pacing of chunked replies
    long long stall_until_ms = 0; // nothing is read from the link before this time; 0: not
                                  // stalled yet
    bool dead = false;
};

void close_fd(connection &c, bool reset) {
    if (c.fd < 0) return;
    if (reset) {
        linger lg{};
        lg.l_onoff = 1;
        lg.l_linger = 0;
        sys.setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    sys.close(c.fd);
    c.fd = -1;
    c.dead = true;
}

// A non-blocking listening socket on 127.0.0.1 and the port it got, or -1 with the error
// left in sys.last_error().
int open_listener(int port, int &bound) {
    int fd = sys.socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    hold_port(fd);
    if (sys.set_nonblocking(fd, 1) != 0 ||
        sys.bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        sys.listen(fd, 64) != 0) {
        close_socket(fd); // keeps the error
        return -1;
    }
    bound = bound_port(fd);
    return fd;
}

bool write_port_file(const std::string &path, int port) {
    std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return false;
    std::fprintf(f, "%d\n", port);
    bool ok = std::fclose(f) == 0;
    if (!ok) return false;
    errno = 0;
    if (std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    // Where rename does not replace a file that exists (Windows), the old one goes first.
    if (errno != EEXIST) return false;
    std::remove(path.c_str());
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Carries out what feeding a session asks of its connection. false when the connection is
// gone or the server is stopping, and the caller moves on.
bool take_action(connection &c, session_action act, bool &stopping) {
    switch (act) {
    case session_action::stop_server:
        stopping = true;
        return false;
    case session_action::reset_now:
        close_fd(c, true);
        return false;
    case session_action::close_when_sent:
    case session_action::none:
        break;
    }
    return true;
}

// Sends what the session has queued, as far as the socket takes it and the pacing allows.
// Returns false when the connection broke.
bool flush_output(connection &c, const server_options &opts, long long now) {
    while (!c.s->output().empty()) {
        const bool paced = opts.chunk_size > 0 && c.s->unpaced() == 0;
        if (paced && now < c.next_send_ms) return true;
        std::string_view out = c.s->output();
        std::size_t n = out.size();
        if (c.s->unpaced() > 0) n = c.s->unpaced();
        if (paced) n = std::min(n, static_cast<std::size_t>(opts.chunk_size));
        ssize_t sent = sys.send(c.fd, out.data(), n, kSendNoSignal);
        if (sent < 0) {
            const std::int32_t code = sys.last_error();
            if (code == kWouldBlock) return true;
            if (code == kSockInterrupted) continue;
            return false;
        }
        c.s->consume(static_cast<std::size_t>(sent));
        if (paced) {
            c.next_send_ms = now + opts.chunk_pause_ms;
            if (opts.chunk_pause_ms > 0) return true;
        }
    }
    return true;
}

} // namespace

void request_stop() { stop_flag.store(1); }

int run_server(const server_options &opts, directory &dir, std::int32_t secret_hash) {
    int port = 0;
    int lfd = open_listener(opts.port, port);
    if (lfd < 0) {
        std::fprintf(stderr, "brennic-testserver: cannot listen on port %d: %s\n", opts.port,
                     error_text(sys.last_error()));
        return 2;
    }
    server_context ctx;
    ctx.opts = &opts;
    ctx.dir = &dir;
    ctx.secret_hash = secret_hash;
    if (!opts.transcript_file.empty()) {
        // Binary: the transcript holds what came, line ends and all, on every platform.
        ctx.transcript = std::fopen(opts.transcript_file.c_str(), "ab");
        if (ctx.transcript == nullptr) {
            std::fprintf(stderr, "brennic-testserver: cannot open transcript %s\n",
                         opts.transcript_file.c_str());
            close_socket(lfd);
            return 2;
        }
    }
    if (!opts.port_file.empty() && !write_port_file(opts.port_file, port)) {
        std::fprintf(stderr, "brennic-testserver: cannot write %s\n", opts.port_file.c_str());
    }
    std::printf("PORT %d\n", port);
    std::fflush(stdout);

    const long long deadline = now_ms() + static_cast<long long>(opts.max_seconds) * 1000;
    std::vector<connection> conns;
    std::vector<poll_entry> pfds;
    std::vector<char> rbuf(kRecvChunk);
    int status = 0;
    bool stopping = false;
    long long accept_resume_ms = 0;

    while (!stopping && stop_flag.load() == 0) {
        long long now = now_ms();
        if (now >= deadline) {
            if (!opts.quiet) std::fprintf(stderr, "brennic-testserver: time limit reached\n");
            break;
        }
        long long wait = std::min<long long>(kIdleWaitMs, deadline - now);
        pfds.clear();
        const bool accepting = now >= accept_resume_ms;
        if (!accepting) wait = std::min(wait, accept_resume_ms - now);
        pfds.push_back({lfd, static_cast<short>(accepting ? POLLIN : 0), 0});
        // Held replies are timed in microseconds, so that a reply delay is what it says.
        long long wait_us = std::max<long long>(wait, 0) * 1000;
        const long long now_fine = now_us();
        for (auto &c : conns) {
            c.s->release(now_fine);
            if (c.s->has_held())
                wait_us = std::min(wait_us, std::max(0LL, c.s->next_due_us() - now_fine));
            const bool stalling = now < c.stall_until_ms;
            if (stalling) wait = std::min(wait, c.stall_until_ms - now);
            // Replies above the high-water mark: the connection is not read until they drain.
            const bool backed_up = c.s->output().size() > session::kOutputHighWater;
            short ev = c.s->closing() || stalling || backed_up ? 0 : POLLIN;
            if (!c.s->output().empty()) {
                if (opts.chunk_size > 0 && c.s->unpaced() == 0 && now < c.next_send_ms) {
                    wait = std::min(wait, c.next_send_ms - now);
                } else {
                    ev |= POLLOUT;
                }
            }
            pfds.push_back({c.fd, ev, 0});
        }
        wait_us = std::min(wait_us, std::max<long long>(wait, 0) * 1000);
        sys.set_error(0);
        int rc = poll_fine(pfds.data(), static_cast<poll_count>(pfds.size()), wait_us);
        if (rc < 0) {
            const std::int32_t code = sys.last_error();
            if (code == kSockInterrupted) continue;
            std::fprintf(stderr, "brennic-testserver: poll: %s\n", error_text(code));
            status = 3;
            break;
        }
        const long long polled_us = now_us();
        now = polled_us / 1000;
        // Connections are only appended below, after this walk, so indexes stay valid.
        for (std::size_t i = 0; i < conns.size() && !stopping; ++i) {
            connection &c = conns[i];
            short re = pfds[i + 1].revents;
            // A stalled link is read again when its peer hangs up, so that poll does not
            // report the hang-up over and over.
            if ((re & (POLLERR | POLLHUP)) || ((re & POLLIN) && now >= c.stall_until_ms)) {
                ssize_t n = sys.recv(c.fd, rbuf.data(), rbuf.size(), 0);
                const std::int32_t code = n < 0 ? sys.last_error() : 0;
                if (n == 0 || (n < 0 && code != kWouldBlock && code != kSockInterrupted)) {
                    close_fd(c, false);
                    continue;
                }
                if (n > 0) {
                    c.s->set_now(polled_us);
                    if (!take_action(c, c.s->feed(rbuf.data(), static_cast<std::size_t>(n)),
                                     stopping))
                        continue;
                    if (opts.stall_ms > 0 && c.stall_until_ms == 0 && c.s->exchanging())
                        c.stall_until_ms = now + opts.stall_ms;
                }
            }
            c.s->release(polled_us);
            if (!flush_output(c, opts, now)) {
                close_fd(c, false);
                continue;
            }
            // Lines held back while the replies piled up are taken once they have drained, for
            // as long as the socket takes the replies they bring.
            bool gone = false;
            while (!gone && c.s->holding() && c.s->output().size() <= session::kOutputHighWater) {
                c.s->set_now(polled_us);
                if (!take_action(c, c.s->feed(nullptr, 0), stopping)) {
                    gone = true;
                } else if (!flush_output(c, opts, now)) {
                    close_fd(c, false);
                    gone = true;
                }
            }
            if (gone) continue;
            if (c.s->closing() && c.s->output().empty() && !c.s->has_held()) close_fd(c, false);
        }
        std::erase_if(conns, [](const connection &c) { return c.dead; });
        if (!stopping && (pfds[0].revents & POLLIN)) {
            for (;;) {
                int fd = sys.accept(lfd, nullptr, nullptr);
                if (fd < 0) {
                    if (out_of_resources(sys.last_error())) accept_resume_ms = now + kAcceptPauseMs;
                    break;
                }
                sys.set_nonblocking(fd, 1);
                // Replies are queued whole and sent in one call; without delay on this side
                // a paced reply leaves in the pieces it was cut into.
                int one = 1;
                sys.setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                connection c;
                c.fd = fd;
                c.s = std::make_unique<session>(ctx);
                conns.push_back(std::move(c));
            }
        }
    }
    for (auto &c : conns)
        close_fd(c, false);
    close_socket(lfd);
    if (ctx.transcript != nullptr) std::fclose(ctx.transcript);
    return status;
}

} // namespace brennic::testserver

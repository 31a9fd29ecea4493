// Links: set-up (connect, the plaintext handshake, and the two keystream generators that
// every later byte of the link passes through) and their end.
#include <cstring>

#include "base/diag.h"
#include "base/notice.h"
#include "base/text.h"
#include "lib/cipher/secret_file.h"
#include "lib/cipher/secret_hash.h"
#include "lib/protocol.h"
#include "lib/state.h"
#include "net/socket_errors.h"
#include "net/tcp.h"

namespace brennic {
namespace {

constexpr int kHandshakeLineSize = 64;

} // namespace

void end_link(brennic_host *host) {
    close_socket(host->sock);
    host->sock = kNoSocket;
    host->open = 0;
    host->corked = 0;
}

int mark_host_failed(brennic_host *host) {
    end_link(host);
    flag_results_of(host);
    return 1;
}

namespace {

enum class stage { done, connecting, replying };

// One host's link setup while it runs. The facts each step finds are kept here and reported
// only when the whole batch is done (report), so that setups that run at the same time still
// give their diagnostics host by host.
struct setup_job {
    brennic_host *host;
    stage step;
    std::int64_t until_ms; // end of the connect or handshake wait (hooks.clock_ms)
    std::int64_t began_s;  // when the setup began (hooks.now)
    std::int64_t ended_s;  // when the setup ended, for the throttle
    bool starting;         // within begin: an end now is the beginning's time
    bool throttled;
    bool invalid;   // the entry's port is not one to connect to
    bool connected; // a socket was had, so the secret was read
    char secret[kSecretLineMax + 1];
    char secret_failure[kSecretFilePathMax + kSecretCauseMax + 64];
    std::int32_t connect_error;
    int hello_length;
    int hello_sent;
    std::int32_t send_error;
    char reply[kHandshakeReplyMax + 1];
    int got;
    std::int32_t read_error;
};

void finish(setup_job &job) {
    job.step = stage::done;
    job.ended_s = job.starting ? job.began_s : hooks.now();
}

// The secret is read anew for every connection made, once it is made.
void send_hello(setup_job &job) {
    job.connected = true;
    copy_bounded(job.secret, read_secret(secret_path, 0), kSecretLineMax);
    copy_bounded(job.secret_failure, secret_failure(), sizeof job.secret_failure - 1);
    char line[kHandshakeLineSize];
    job.hello_length = format_handshake(line, sizeof line, job.secret);
    job.hello_sent = send_bytes(job.host->sock, line, job.hello_length);
    record_sock_error();
    job.send_error = last_sock_error;
    if (job.hello_sent < job.hello_length) {
        end_link(job.host);
        finish(job);
        return;
    }
    job.step = stage::replying;
    job.until_ms = hooks.clock_ms() + within_deadline(hooks.handshake_wait_ms);
}

void begin_steps(setup_job &job);

void begin(setup_job &job) {
    brennic_host *host = job.host;
    const std::int64_t now = hooks.now();
    // A host whose setup failed is not tried again within a minute of that failure; a clock
    // set back also refuses.
    if (host->setup_failed != 0 && now - host->failed_at < kThrottleSeconds) {
        job.throttled = true;
        job.step = stage::done;
        return;
    }
    host->last_try = now;
    job.began_s = now;
    job.starting = true;
    begin_steps(job);
    job.starting = false;
}

void begin_steps(setup_job &job) {
    brennic_host *host = job.host;
    if (port_of_entry(host->name, kDefaultPort) == 0) {
        job.invalid = true;
        finish(job);
        return;
    }
    winsock_start();
    // The connect does not wait: the batch waits for it, with a limit of its own.
    host->sock = tcp_open(host->name, kDefaultPort, "", 0);
    if (host->sock == kNoSocket) {
        job.connect_error = last_sock_error;
        finish(job);
        return;
    }
    if (would_block()) {
        job.step = stage::connecting;
        job.until_ms = hooks.clock_ms() + within_deadline(hooks.connect_wait_ms);
        return;
    }
    send_hello(job);
}

void connect_done(setup_job &job, bool timed_out) {
    if (!timed_out && connect_finished(job.host->sock)) {
        send_hello(job);
        return;
    }
    if (timed_out) record_timed_out();
    job.connect_error = last_sock_error;
    close_socket(job.host->sock);
    job.host->sock = kNoSocket;
    finish(job);
}

// The bytes of one receive, and only they, form the handshake reply (and the first
// enciphered bytes after its LF, when they came with it).
void read_reply_bytes(setup_job &job, bool timed_out) {
    const int n = recv_some(job.host->sock, job.reply, kHandshakeReplyMax);
    if (n == 0 && !timed_out) return; // woken with nothing to read: wait on
    job.got = n > 0 ? n : 0;
    job.read_error = last_sock_error;
    job.reply[job.got] = '\0';
    finish(job);
}

// Runs the steps of every job until all are done.
void run_jobs(setup_job *jobs, int count) {
    for (int i = 0; i < count; ++i)
        begin(jobs[i]);
    for (;;) {
        socket_wait waits[kMaxHosts];
        int index[kMaxHosts];
        int used = 0;
        std::int64_t next_ms = 0;
        for (int i = 0; i < count; ++i) {
            if (jobs[i].step == stage::done) continue;
            waits[used] = socket_wait{jobs[i].host->sock, jobs[i].step == stage::connecting, 0};
            index[used++] = i;
            if (next_ms == 0 || jobs[i].until_ms < next_ms) next_ms = jobs[i].until_ms;
        }
        if (used == 0) return;
        const std::int64_t left = next_ms - hooks.clock_ms();
        const int ready = wait_sockets(waits, used, left > 0 ? static_cast<int>(left) : 0);
        const std::int64_t now_ms = hooks.clock_ms();
        for (int w = 0; w < used; ++w) {
            setup_job &job = jobs[index[w]];
            // A wait that ran its whole course ends the jobs it was waiting for, whatever the
            // clock says; and a job whose time is up ends even when its socket keeps waking
            // the wait with nothing to read.
            const bool timed_out = now_ms >= job.until_ms ||
                                   (waits[w].ready == 0 && ready == 0 && job.until_ms == next_ms);
            if (waits[w].ready == 0 && !timed_out) continue;
            if (job.step == stage::connecting)
                connect_done(job, timed_out);
            else
                read_reply_bytes(job, timed_out);
        }
    }
}

// The reply read failed: the setup fails with the error of the last receive.
int read_failed(setup_job &job) {
    brennic_host *host = job.host;
    last_sock_error = job.read_error;
    end_link(host);
    log_error("encrypt_read failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
    return 0;
}

int refused(setup_job &job, const char *reply) {
    brennic_host *host = job.host;
    char first_line[kHandshakeReplyMax + 1];
    copy_bounded(first_line, reply, kHandshakeReplyMax);
    cut_at_line_end(first_line);
    log_error("-ERR Cannot encrypt link for some reason %.*s\n", kHandshakeReplyMax, first_line);
    char notice_line[kHandshakeReplyMax + 32];
    text_builder b = start_text(notice_line, sizeof notice_line);
    add_text(b, "-DEAD Failed ");
    add_text(b, first_line, kHandshakeReplyMax);
    notice(kNoticeRefused, host->name, first_line, notice_line);
    end_link(host);
    // The error stored last is the one after the handshake line was sent.
    last_sock_error = job.send_error;
    log_error("encrypt_read failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
    return 0;
}

// Reports what the job found, as one setup on its own would have, and installs the link when
// the server accepted it: 1 when the link is open.
int report(setup_job &job) {
    brennic_host *host = job.host;
    if (job.throttled) {
        log_info("Already tried host in the last 60 seconds. (%.*s) ", kHostNameMax, host->name);
        return 0;
    }
    if (job.invalid) {
        log_error("Invalid port in host entry (%.*s)", kHostNameMax, host->name);
        return 0;
    }
    if (!job.connected) {
        last_sock_error = job.connect_error;
        log_error("tcp_open failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
        return 0;
    }

    const char *secret_text = job.secret;
    if (secret_text[0] == '\0') {
        if (job.secret_failure[0] != '\0') log_error("%s", job.secret_failure);
        log_error("Unable to generate secret file contents\n");
    }
    log_info("Secret string (%.*s)\n", kSecretLogMax, secret_text);

    last_sock_error = job.send_error;
    log_info("socket_write len=(%d) r=(%d) lasterror=(%s)", job.hello_length, job.hello_sent,
             sock_error_text());
    if (job.hello_sent < job.hello_length) {
        log_error("write_encrypt failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
        return 0;
    }

    if (job.got < 2) return read_failed(job);
    // The reply is its first line; the bytes after its LF belong to the enciphered link.
    const char *lf = static_cast<const char *>(std::memchr(job.reply, '\n', job.got));
    const int reply_length = lf != nullptr ? static_cast<int>(lf - job.reply) + 1 : job.got;
    char reply[kHandshakeReplyMax + 1];
    std::memcpy(reply, job.reply, static_cast<std::size_t>(reply_length));
    reply[reply_length] = '\0';

    const handshake_reply parsed = parse_handshake_reply(reply, reply_length);
    // A reply without its LF cannot show where the enciphered bytes begin: no link is made
    // on it. A refusal is still reported as one.
    if (lf == nullptr && parsed.verdict == handshake_verdict::accepted) return read_failed(job);
    log_info("Response (%.*s)", kResponseLogMax, reply);
    if (parsed.verdict != handshake_verdict::accepted) return refused(job, reply);

    log_info("Time is (%.*s)\n", kHandshakeReplyMax, parsed.token3);
    // Signed 32-bit sum with wrap-around.
    const auto seed =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(secret_hash(secret_text)) +
                                  static_cast<std::uint32_t>(parsed.n));
    log_info("Seed is %d", static_cast<int>(parsed.n));

    // The pair of an earlier link of this host is released here.
    host->rx.reset(mt_seed(seed));
    host->tx.reset(mt_seed(seed));
    if (!host->rx || !host->tx) {
        host->rx.reset();
        host->tx.reset();
        end_link(host);
        log_error("Unable to create keystream generators (%.*s)", kHostNameMax, host->name);
        return 0;
    }

    // The link runs in blocking mode: a request line is written with one send, which then
    // waits for room when the server is slow to read instead of coming up short and taking
    // a live link for a broken one. The wait is bounded: a server that has not made room
    // for the whole line within the send limit is taken to have stopped reading, and the
    // short send ends its link. Unsent bytes are held to about a line, so that the limit
    // measures one line's room, however slowly but steadily the server reads. (Should the
    // settings not take, a send waits as any blocking send does.) Its receives never wait
    // (recv_some). A new link begins at a line boundary of its own, with the bytes that came
    // after the handshake reply, deciphered.
    set_blocking(host->sock, 1);
    set_send_limit(host->sock, hooks.send_wait_ms, kLineBufSize);
    const int early = job.got - reply_length;
    std::memcpy(host->inbuf, job.reply + reply_length, static_cast<std::size_t>(early));
    keystream_add(host->rx.get(), reinterpret_cast<unsigned char *>(host->inbuf), early);
    host->inlen = early;
    host->scanned = 0;
    host->discarding = 0;
    host->inbuf[host->inlen] = '\0';
    host->open = 1;
    return 1;
}

} // namespace

int open_links(brennic_host *const *list, int count) {
    setup_job jobs[kMaxHosts];
    if (count > kMaxHosts) count = kMaxHosts;
    for (int i = 0; i < count; ++i) {
        jobs[i] = setup_job{};
        jobs[i].host = list[i];
    }
    run_jobs(jobs, count);
    int opened = 0;
    for (int i = 0; i < count; ++i) {
        brennic_host *host = jobs[i].host;
        const int ok = report(jobs[i]);
        opened += ok;
        if (jobs[i].throttled) continue;
        host->setup_failed = ok != 0 ? 0 : 1;
        if (ok == 0) host->failed_at = jobs[i].ended_s;
    }
    return opened;
}

int open_link(brennic_host *host) { return open_links(&host, 1); }

} // namespace brennic

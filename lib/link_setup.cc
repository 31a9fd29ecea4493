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
}

int mark_host_failed(brennic_host *host) {
    end_link(host);
    flag_results_of(host);
    return 1;
}

namespace {

// Connects, performs the handshake and installs the generators: 1 when the link is open.
int set_up_link(brennic_host *host) {
    winsock_start();
    const int port = port_of_entry(host->name, kDefaultPort);
    host->sock = tcp_open(host->name, port, "", 1);
    if (host->sock == kNoSocket) {
        log_error("tcp_open failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
        return 0;
    }

    char secret[kSecretLineMax + 1];
    copy_bounded(secret, read_secret(secret_path, 0), kSecretLineMax);
    if (secret[0] == '\0') log_error("Unable to generate secret file contents\n");
    log_info("Secret string (%.*s)\n", kSecretLogMax, secret);

    char line[kHandshakeLineSize];
    const int length = format_handshake(line, sizeof line, secret);
    const int sent = send_bytes(host->sock, line, length);
    record_sock_error();
    log_info("socket_write len=(%d) r=(%d) lasterror=(%s)", length, sent, sock_error_text());
    if (sent < length) {
        end_link(host);
        log_error("write_encrypt failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
        return 0;
    }

    // The bytes of this one receive, and only they, form the reply.
    char reply[kHandshakeReplyMax + 1];
    const int got =
        recv_timed(host->sock, reply, kHandshakeReplyMax, within_deadline(hooks.handshake_wait_ms));
    if (got < 2) {
        record_sock_error();
        end_link(host);
        log_error("encrypt_read failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
        return 0;
    }
    reply[got] = '\0';
    log_info("Response (%.*s)", kResponseLogMax, reply);

    const handshake_reply parsed = parse_handshake_reply(reply, got);
    if (parsed.verdict != handshake_verdict::accepted) {
        char first_line[kHandshakeReplyMax + 1];
        copy_bounded(first_line, reply, kHandshakeReplyMax);
        cut_at_line_end(first_line);
        log_error("-ERR Cannot encrypt link for some reason %.*s\n", kHandshakeReplyMax,
                  first_line);
        char notice_line[kHandshakeReplyMax + 32];
        text_builder b = start_text(notice_line, sizeof notice_line);
        add_text(b, "-DEAD Failed ");
        add_text(b, first_line, kHandshakeReplyMax);
        notice(kNoticeRefused, host->name, first_line, notice_line);
        end_link(host);
        log_error("encrypt_read failed (%.*s) %s", kHostNameMax, host->name, sock_error_text());
        return 0;
    }

    log_info("Time is (%.*s)\n", kHandshakeReplyMax, parsed.token3);
    // Signed 32-bit sum with wrap-around.
    const auto seed = static_cast<std::int32_t>(static_cast<std::uint32_t>(secret_hash(secret)) +
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

    // The link stays in blocking mode: a request line is written with one send, which then
    // waits for room when the server is slow to read instead of coming up short and taking
    // a live link for a broken one. The wait is bounded: a server that has not made room
    // for the whole line within the send limit is taken to have stopped reading, and the
    // short send ends its link. Unsent bytes are held to about a line, so that the limit
    // measures one line's room, however slowly but steadily the server reads. (Should the
    // settings not take, a send waits as any blocking send does.) Its receives never wait
    // (recv_some). A new link begins at a line boundary of its own.
    set_send_limit(host->sock, hooks.send_wait_ms, kLineBufSize);
    host->inlen = 0;
    host->scanned = 0;
    host->discarding = 0;
    host->inbuf[0] = '\0';
    host->open = 1;
    return 1;
}

} // namespace

int open_link(brennic_host *host) {
    const std::int64_t now = hooks.now();
    // One attempt per host in any 60 seconds; a clock set back also refuses.
    if (now - host->last_try < kThrottleSeconds) {
        log_info("Already tried host in the last 60 seconds. (%.*s) ", kHostNameMax, host->name);
        return 0;
    }
    host->last_try = now;
    const int opened = set_up_link(host);
    host->setup_failed = opened != 0 ? 0 : 1;
    return opened;
}

} // namespace brennic

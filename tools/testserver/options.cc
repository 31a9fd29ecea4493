#include "tools/testserver/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace brennic::testserver {

namespace {

bool to_int(const char *text, long lo, long hi, long &out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

} // namespace

const char *usage_text() {
    return "Usage: brennic-testserver [options]\n"
           "  --port N              listen on 127.0.0.1:N (0: any free port, printed as PORT N)\n"
           "  --port-file PATH      also write the port number to PATH\n"
           "  --users PATH          users file: name password attributes... per line\n"
           "  --secret PATH         secret file: its first line is the shared secret\n"
           "  --number N            the number sent in the handshake reply (default 42)\n"
           "  --no-hash-check       accept any hash remainder in the handshake line\n"
           "  --transcript PATH     record what clients send\n"
           "  --max-seconds N       exit after N seconds (default 600)\n"
           "  --quiet               no messages on standard error\n"
           "Fault modes:\n"
           "  --refuse-handshake    answer the handshake with \"1 -ERR handshake refused\"\n"
           "  --handshake-one-byte  answer the handshake with one byte\n"
           "  --silent-handshake    never answer the handshake\n"
           "  --close-after N       close a connection when its request N+1 arrives\n"
           "  --die-after N         exit when request N+1 (over all connections) arrives\n"
           "  --reset-at N          reset a connection (linger 0) at its request N\n"
           "  --chunk N --pause MS  send replies N bytes at a time, MS ms apart\n"
           "  --byte-per-ms         the same as --chunk 1 --pause 1\n"
           "  --unknown-id          answer with the request id plus 1000\n"
           "  --overlong N          send a +DATA line of N bytes ahead of every reply\n"
           "  --nul-in-reply        send a +DATA line holding NUL bytes ahead of every reply\n"
           "  --wrong-user NAME     name NAME instead of the user in final replies\n"
           "  --garbage N           send a junk line of N bytes ahead of a link's first reply\n"
           "  --stall-ms MS         read nothing from a link for MS ms after its handshake\n"
           "  --reply-twice         send every final reply line twice\n"
           "  --hold N              hold a link's replies to its first N requests; send them\n"
           "                        after its reply to request N+1\n"
           "  --reply-delay-ms MS   send each reply MS ms after its request came\n"
           "  --reply-jitter-ms MS  delay each reply by 0 to MS ms more, varying per request\n"
           "  --duplicate-every N   answer every Nth request of a link twice\n";
}

bool parse_options(int argc, char **argv, server_options &opts, bool &help, std::string &error) {
    help = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const char *value = (i + 1 < argc) ? argv[i + 1] : nullptr;
        long v = 0;
        auto need_int = [&](long lo, long hi) {
            if (!to_int(value, lo, hi, v)) {
                error = std::string("bad or missing value for ") + argv[i];
                return false;
            }
            ++i;
            return true;
        };
        auto need_text = [&](std::string &out) {
            if (value == nullptr) {
                error = std::string("missing value for ") + argv[i];
                return false;
            }
            out = value;
            ++i;
            return true;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--port") {
            if ((ok = need_int(0, 65535))) opts.port = static_cast<int>(v);
        } else if (arg == "--port-file") {
            ok = need_text(opts.port_file);
        } else if (arg == "--users") {
            ok = need_text(opts.users_file);
        } else if (arg == "--secret") {
            ok = need_text(opts.secret_file);
        } else if (arg == "--transcript") {
            ok = need_text(opts.transcript_file);
        } else if (arg == "--number") {
            if ((ok = need_int(INT32_MIN, INT32_MAX))) opts.number = static_cast<std::int32_t>(v);
        } else if (arg == "--no-hash-check") {
            opts.check_hash = false;
        } else if (arg == "--max-seconds") {
            if ((ok = need_int(1, 86400))) opts.max_seconds = static_cast<int>(v);
        } else if (arg == "--quiet") {
            opts.quiet = true;
        } else if (arg == "--refuse-handshake") {
            opts.handshake = handshake_mode::refuse;
        } else if (arg == "--handshake-one-byte") {
            opts.handshake = handshake_mode::one_byte;
        } else if (arg == "--silent-handshake") {
            opts.handshake = handshake_mode::silent;
        } else if (arg == "--close-after") {
            if ((ok = need_int(0, INT_MAX))) opts.close_after = static_cast<int>(v);
        } else if (arg == "--die-after") {
            if ((ok = need_int(0, INT_MAX))) opts.die_after = static_cast<int>(v);
        } else if (arg == "--reset-at") {
            if ((ok = need_int(1, INT_MAX))) opts.reset_at = static_cast<int>(v);
        } else if (arg == "--chunk") {
            if ((ok = need_int(1, 1 << 20))) opts.chunk_size = static_cast<int>(v);
        } else if (arg == "--pause") {
            if ((ok = need_int(0, 10000))) opts.chunk_pause_ms = static_cast<int>(v);
        } else if (arg == "--byte-per-ms") {
            opts.chunk_size = 1;
            opts.chunk_pause_ms = 1;
        } else if (arg == "--unknown-id") {
            opts.unknown_id = true;
        } else if (arg == "--overlong") {
            if ((ok = need_int(1, 16 << 20))) opts.overlong_bytes = static_cast<int>(v);
        } else if (arg == "--nul-in-reply") {
            opts.nul_in_reply = true;
        } else if (arg == "--wrong-user") {
            ok = need_text(opts.wrong_user);
        } else if (arg == "--garbage") {
            if ((ok = need_int(1, 1 << 20))) opts.garbage_bytes = static_cast<int>(v);
        } else if (arg == "--stall-ms") {
            if ((ok = need_int(0, 60000))) opts.stall_ms = static_cast<int>(v);
        } else if (arg == "--reply-twice") {
            opts.reply_twice = true;
        } else if (arg == "--hold") {
            if ((ok = need_int(1, 1000))) opts.hold = static_cast<int>(v);
        } else if (arg == "--reply-delay-ms") {
            if ((ok = need_int(0, 60000))) opts.reply_delay_ms = static_cast<int>(v);
        } else if (arg == "--reply-jitter-ms") {
            if ((ok = need_int(0, 60000))) opts.reply_jitter_ms = static_cast<int>(v);
        } else if (arg == "--duplicate-every") {
            if ((ok = need_int(1, INT_MAX))) opts.duplicate_every = static_cast<int>(v);
        } else {
            error = std::string("unknown option ") + argv[i];
            ok = false;
        }
        if (!ok) return false;
    }
    return true;
}

} // namespace brennic::testserver

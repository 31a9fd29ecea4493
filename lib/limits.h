// Every fixed limit and timer of the client library, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"

namespace brennic {

// Texts.
inline constexpr int kHostNameMax = 200;      // one host entry as stored
inline constexpr int kHostNameSize = 1000;    // storage of one host entry
inline constexpr int kSearchTextMax = 200;    // search request text
inline constexpr int kRequestTextMax = 19000; // request text on the wire
inline constexpr int kAttrMax = 18000;        // attribute text accepted by set and mod
inline constexpr int kReplyTextMax = 19900;   // line part that reaches text and callbacks
inline constexpr int kLineMax = 19990;        // bytes gathered before a line is thrown away
inline constexpr int kInbufSize = 20000;      // receive buffer of a host
inline constexpr int kLineBufSize = 20000;    // request line and reply line buffers
inline constexpr int kShortLineMax = 100;     // line copy quoted in "Unknown response"
inline constexpr int kShortRequestBuf = 1000; // request text buffer of check/lookup/del/search
inline constexpr int kLongRequestBuf = 20000; // request text buffer of set and mod
static_assert(kLineMax < kInbufSize, "room for the terminator after a full buffer");
// Before a request is written, at most this many bytes more are taken from the socket to
// find stray lines: one buffer's worth, so a server that never stops sending cannot hold
// the request up.
inline constexpr int kSettleBytesMax = kInbufSize;
static_assert(kAttrMax + 2000 == kLongRequestBuf, "set/mod refusal rule");

// Hosts and links.
inline constexpr int kMaxHosts = 5;
inline constexpr int kDefaultPort = 601;
inline constexpr int kHandshakeReplyMax = 200;
inline constexpr int kHandshakeWaitMs = 90000;
// A connect not done within this long fails as timed out (about when a blocking connect gives
// up on the first platform).
inline constexpr int kConnectWaitMs = 20000;
inline constexpr int kPortMin = 1;
inline constexpr int kPortMax = 65535;
// A request line the server has not made room for within this long ends its link.
inline constexpr int kSendWaitMs = 90000;
inline constexpr int kThrottleSeconds = 60;
inline constexpr int kSecretLogMax = 400;  // secret text quoted in "Secret string (...)"
inline constexpr int kResponseLogMax = 80; // handshake reply quoted in "Response (...)"
inline constexpr int kHashModulus = 20;

// Secret file.
inline constexpr int kSecretLineMax = 399;
inline constexpr int kSecretFilePathMax = 999;
inline constexpr int kDefaultSecretPathMax = 200;
// A secret file that is a FIFO or a device must give its line within this long.
inline constexpr int kSecretDeviceWaitMs = 1000;
inline constexpr int kSecretCauseMax = 200; // cause text of an unreadable secret file
static_assert(kSecretPathMax <= kSecretFilePathMax,
              "the reader takes every path the library keeps");

// Blocking wait.
inline constexpr int kWaitShortMs = 20;
inline constexpr int kWaitLongMs = 1000;
inline constexpr int kWaitPollLimit = 3000;
// The wait also gives up once it has lasted as long as its polls may take when nothing at all
// arrives (a short and a long wait after each), however often something woke it early.
inline constexpr std::int64_t kWaitLimitMs =
    static_cast<std::int64_t>(kWaitPollLimit) * (kWaitShortMs + kWaitLongMs);
// Before its first sleep, a blocking wait keeps polling for up to this long while the previous
// spin caught its reply: a server that answers that fast (on this machine, or across a fast
// network) is collected without the cost of sleeping and being woken by the reply.
inline constexpr std::int64_t kWaitSpinNs = 50'000;
// A spin that ran out without its reply turns spinning off for this many blocking waits, so a
// server farther away costs one spin in that many requests.
inline constexpr int kWaitSpinPause = 64;

} // namespace brennic

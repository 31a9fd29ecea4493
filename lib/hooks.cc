#include "lib/hooks.h"

#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "lib/limits.h"
#include "net/system.h"

namespace brennic {
namespace {

std::int64_t real_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

void *real_alloc_zeroed(std::size_t size) { return std::calloc(1, size); }

void *real_allocate(std::size_t size) { return std::malloc(size); }

constexpr library_hooks kDefaultHooks{
    .now = real_now,
    .clock_ms = monotonic_ms,
    .idle_wait = nullptr,
    .handshake_wait_ms = kHandshakeWaitMs,
    .connect_wait_ms = kConnectWaitMs,
    .send_wait_ms = kSendWaitMs,
    .alloc_zeroed = real_alloc_zeroed,
    .clock_ns = monotonic_ns,
    .wait_spin_ns = kWaitSpinNs,
    .allocate = real_allocate,
    .open_file = open_for_reading,
    .secret_wait_ms = kSecretDeviceWaitMs,
};

} // namespace

library_hooks hooks = kDefaultHooks;

void reset_hooks() { hooks = kDefaultHooks; }

} // namespace brennic

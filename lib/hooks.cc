#include "lib/hooks.h"

#include <cstdlib>
#include <ctime>

#include "base/clock.h"
#include "lib/limits.h"

namespace brennic {
namespace {

std::int64_t real_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

void *real_alloc_zeroed(std::size_t size) { return std::calloc(1, size); }

void *real_allocate(std::size_t size) { return std::malloc(size); }

std::FILE *real_open_file(const char *path, const char *mode) { return std::fopen(path, mode); }

constexpr library_hooks kDefaultHooks{
    real_now,          monotonic_ms, nullptr,     kHandshakeWaitMs, kSendWaitMs,
    real_alloc_zeroed, monotonic_ns, kWaitSpinNs, real_allocate,    real_open_file};

} // namespace

library_hooks hooks = kDefaultHooks;

void reset_hooks() { hooks = kDefaultHooks; }

} // namespace brennic

// libFuzzer entry: host lists and host texts.
#include <cstdio>

#include "fuzz/harness.h"

// A refused handshake prints a line on standard output; keep it out of the fuzzer's log.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return brennic::fuzz::hosts_one(data, size);
}

// libFuzzer entry: the handshake reply parser.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return brennic::fuzz::handshake_one(data, size);
}

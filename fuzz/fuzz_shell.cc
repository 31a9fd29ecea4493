// libFuzzer entry: the console's line dispatch and reply rendering.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return brennic::fuzz::shell_one(data, size);
}

// libFuzzer entry: the response reader.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return brennic::fuzz::reader_one(data, size);
}

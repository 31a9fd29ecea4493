// libFuzzer entry: the header-line tokenizer.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return brennic::fuzz::header_tokens_one(data, size);
}

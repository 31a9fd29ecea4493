// libFuzzer entry: the secret-file reader.
#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    return brennic::fuzz::secret_file_one(data, size);
}

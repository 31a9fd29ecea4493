// The secret-file reader on fuzzed file contents, with the generate mode off.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/harness.h"
#include "fuzz/support.h"
#include "lib/cipher/secret_file.h"
#include "lib/limits.h"

namespace brennic::fuzz {
namespace {

constexpr const char *kTarget = "secret_file";

// One file per process, removed at exit.
std::string file_path;

void remove_file() {
    if (!file_path.empty()) std::remove(file_path.c_str());
}

const std::string &secret_file() {
    if (file_path.empty()) {
        char name[] = "/tmp/brennic-fuzz-secret-XXXXXX";
        const int fd = ::mkstemp(name);
        expect(fd >= 0, kTarget, "a temporary file can be made");
        ::close(fd);
        file_path = name;
        std::atexit(remove_file);
    }
    return file_path;
}

// The first line as the reader must give it: at most 399 characters, up to the first
// NUL, CR or LF.
std::string expected_secret(const std::string &content) {
    std::string line = as_text(content.substr(0, kSecretLineMax));
    const std::size_t end = line.find_first_of("\r\n");
    if (end != std::string::npos) line.resize(end);
    return line;
}

} // namespace

int secret_file_one(const std::uint8_t *data, std::size_t size) {
    const std::string content(reinterpret_cast<const char *>(data), size);
    const std::string &path = secret_file();
    std::FILE *f = std::fopen(path.c_str(), "wb");
    expect(f != nullptr, kTarget, "the secret file can be written");
    expect(std::fwrite(content.data(), 1, content.size(), f) == content.size(), kTarget,
           "the whole content is written");
    std::fclose(f);

    const char *secret = read_secret(path.c_str(), 0);
    expect(secret != nullptr, kTarget, "never null");
    const std::size_t length = std::strlen(secret);
    expect(length <= static_cast<std::size_t>(kSecretLineMax), kTarget, "at most 399 characters");
    expect(std::strpbrk(secret, "\r\n") == nullptr, kTarget, "no CR or LF");
    expect(secret == expected_secret(content), kTarget, "the first line of the file");

    // The same bytes as a file name beside the system directory: always one bounded text.
    const char *joined = system_dir_file(as_text(content).c_str());
    expect(joined != nullptr && std::strlen(joined) < 1000, kTarget, "joined path bounded");
    return 0;
}

} // namespace brennic::fuzz

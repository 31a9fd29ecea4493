#include "lib/cipher/secret_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/notice.h"
#include "base/text.h"
#include "lib/cipher/secret_hash.h"
#include "lib/hooks.h"
#include "lib/limits.h"

namespace brennic {

namespace {

// The directory that holds the default secret file on this platform.
constexpr const char *kSystemDir = "/etc";
constexpr const char *kDefaultSecretName = "xlate.dat";
constexpr int kSystemDirBufSize = 1000;

char secret_line[kSecretLineMax + 1];

const char *empty_secret() {
    secret_line[0] = '\0';
    return secret_line;
}

// Reads the first line of f into secret_line, without its CR and LF.
void read_first_line(std::FILE *f) {
    if (std::fgets(secret_line, kSecretLineMax + 1, f) == nullptr) secret_line[0] = '\0';
    cut_at_line_end(secret_line);
}

// Fills the file at path with a fresh line of three numbers. The file is made readable by
// its owner only. Returns 0, after reporting on standard output, when it cannot be written.
int write_fresh_line(const char *path) {
    std::FILE *f = nullptr;
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        f = ::fdopen(fd, "w");
        if (f == nullptr) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
        }
    }
    if (f == nullptr) {
        const char *cause = std::strerror(errno);
        char line[kSecretFilePathMax + 200];
        text_builder b = start_text(line, sizeof line);
        add_text(b, "Could not write to (");
        add_text(b, path);
        add_text(b, ") ");
        add_text(b, cause);
        notice(kNoticeSecretWrite, nullptr, cause, line);
        return 0;
    }
    const std::uint32_t seed = static_cast<std::uint32_t>(std::time(nullptr)) +
                               static_cast<std::uint32_t>(secret_hash(path)) +
                               static_cast<std::uint32_t>(std::clock());
    std::srand(seed);
    const int r1 = std::rand();
    const int r2 = std::rand();
    const int r3 = std::rand();
    const auto c = static_cast<std::uint32_t>(std::clock());
    std::fprintf(f, "%x%d%x\n", static_cast<unsigned>(static_cast<std::uint32_t>(r3) + c), r2,
                 static_cast<unsigned>(r1));
    std::fclose(f);
    return 1;
}

} // namespace

const char *read_secret(const char *path, int generate) {
    char file[kSecretFilePathMax + 1];
    copy_bounded(file, path != nullptr ? path : "", kSecretFilePathMax);
    if (file[0] == '\0')
        copy_bounded(file, system_dir_file(kDefaultSecretName), kDefaultSecretPathMax);

    bool open_failed = false;
    bool generated = false;
    for (;;) {
        std::FILE *f = hooks.open_file(file, "r");
        if (f == nullptr) {
            if (open_failed || !generate) return empty_secret();
            open_failed = true;
        } else {
            read_first_line(f);
            std::fclose(f);
            // A file that reads back empty even after a fresh line went into it (a device
            // such as /dev/null) ends here rather than being refilled forever.
            if (!generate || secret_line[0] != '\0' || generated) return secret_line;
        }
        if (!write_fresh_line(file)) return empty_secret();
        generated = true;
    }
}

const char *system_dir_file(const char *name) {
    static char dir[kSystemDirBufSize];
    static char joined[kSystemDirBufSize];
    copy_bounded(dir, kSystemDir, kSystemDirBufSize - 2);
    // Whatever room the directory and the '/' leave goes to the name; a longer name is cut.
    const std::size_t dir_len = std::strlen(dir);
    std::memcpy(joined, dir, dir_len);
    joined[dir_len] = '/';
    copy_bounded(joined + dir_len + 1, name != nullptr ? name : "",
                 kSystemDirBufSize - 2 - dir_len);
    return joined;
}

} // namespace brennic

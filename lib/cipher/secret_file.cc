#include "lib/cipher/secret_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.h"
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

// Why the last read found the file unreadable, as one diagnostic; empty when it was not.
char failure[kSecretFilePathMax + kSecretCauseMax + 64];

void note_failure(const char *path, const char *cause) {
    text_builder b = start_text(failure, sizeof failure);
    add_text(b, "Cannot read secret file (");
    add_text(b, path, kSecretFilePathMax);
    add_text(b, "): ");
    add_text(b, cause, kSecretCauseMax);
}

// Reads the first line of the open file fd into secret_line, without its CR and LF: at most
// kSecretLineMax characters, up to the first LF or the end of the file. A FIFO or a device is
// given hooks.secret_wait_ms to deliver its line; one that gives none within that time, or
// has no writer, is unreadable, and so is a directory. Returns the cause when the file is
// unreadable, else nullptr (an empty file reads as an empty line).
const char *read_first_line(int fd) {
    secret_line[0] = '\0';
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
    const bool regular = S_ISREG(st.st_mode);
    const std::int64_t until = monotonic_ms() + hooks.secret_wait_ms;
    int got = 0;
    for (;;) {
        const ssize_t n =
            ::read(fd, secret_line + got, static_cast<std::size_t>(kSecretLineMax - got));
        if (n > 0) {
            const bool line_end = std::memchr(secret_line + got, '\n', static_cast<std::size_t>(n));
            got += static_cast<int>(n);
            if (line_end || got >= kSecretLineMax) break;
            continue;
        }
        if (n == 0) {
            if (got == 0 && !regular) return "no line: nothing writes to it";
            break; // the end of the file ends the line
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return std::strerror(errno);
        const std::int64_t left = until - monotonic_ms();
        pollfd entry{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) == 0) {
            secret_line[0] = '\0';
            return "no line within the time allowed";
        }
    }
    secret_line[got] = '\0';
    cut_at_line_end(secret_line);
    return nullptr;
}

// Fills the file at path with a fresh line of three numbers. The file is made readable by
// its owner only. Returns 0, after reporting on standard output, when it cannot be written.
int write_fresh_line(const char *path) {
    std::FILE *f = nullptr;
    // Never waits: a FIFO without a reader fails at once.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0600);
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

    failure[0] = '\0';
    bool open_failed = false;
    bool generated = false;
    for (;;) {
        // Opened without waiting: a FIFO with no writer must not hold the caller.
        const int fd = hooks.open_file(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            // A missing file is no fault of its own: only other causes are reported.
            if (errno != ENOENT) note_failure(file, std::strerror(errno));
            if (open_failed || !generate) return empty_secret();
            open_failed = true;
        } else {
            const char *cause = read_first_line(fd);
            ::close(fd);
            if (cause != nullptr) {
                note_failure(file, cause);
                return empty_secret();
            }
            // A file that reads back empty even after a fresh line went into it (a device
            // such as /dev/null) ends here rather than being refilled forever.
            if (!generate || secret_line[0] != '\0' || generated) return secret_line;
        }
        if (!write_fresh_line(file)) return empty_secret();
        generated = true;
    }
}

const char *secret_failure() { return failure; }

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

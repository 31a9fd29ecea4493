#include "lib/cipher/secret_file.h"

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
#include "net/system.h"

namespace brennic {

namespace {

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
    const file_kind kind = kind_of(fd);
    if (kind == file_kind::unknown) return std::strerror(errno);
    if (kind == file_kind::directory) return std::strerror(EISDIR);
    const bool regular = kind == file_kind::regular;
    const std::int64_t until = monotonic_ms() + hooks.secret_wait_ms;
    int got = 0;
    for (;;) {
        const int n = read_input(fd, secret_line + got, kSecretLineMax - got);
        if (n > 0) {
            const bool line_end = std::memchr(secret_line + got, '\n', static_cast<std::size_t>(n));
            got += n;
            if (line_end || got >= kSecretLineMax) break;
            continue;
        }
        if (n == 0) {
            if (got == 0 && !regular) return "no line: nothing writes to it";
            break; // the end of the file ends the line
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return std::strerror(errno);
        const std::int64_t left = until - monotonic_ms();
        if (left <= 0 || input_ready(fd, static_cast<int>(left)) == 0) {
            secret_line[0] = '\0';
            return "no line within the time allowed";
        }
    }
    secret_line[got] = '\0';
    cut_at_line_end(secret_line);
    return nullptr;
}

// Fills the file at path with a fresh line of three numbers. The file is made readable by
// its owner only where the platform has modes (POSIX). Returns 0, after reporting on standard
// output, when it cannot be written.
int write_fresh_line(const char *path) {
    // Never waits: a FIFO without a reader fails at once.
    std::FILE *f = create_private_file(path);
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
        const int fd = hooks.open_file(file);
        if (fd < 0) {
            // A missing file is no fault of its own: only other causes are reported.
            if (errno != ENOENT) note_failure(file, std::strerror(errno));
            if (open_failed || !generate) return empty_secret();
            open_failed = true;
        } else {
            const char *cause = read_first_line(fd);
            close_input(fd);
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

void join_dir_file(const char *dir, char separator, const char *name, char *out,
                   std::size_t out_size) {
    if (out_size < 2) {
        if (out_size == 1) out[0] = '\0';
        return;
    }
    // The directory keeps room for the separator; whatever room is left goes to the name,
    // and a longer name is cut. A directory that ends in the separator (a drive's root,
    // C:\) takes no second one.
    const std::size_t dir_len = strnlen(dir, out_size - 2);
    std::memcpy(out, dir, dir_len);
    std::size_t at = dir_len;
    if (dir_len == 0 || dir[dir_len - 1] != separator) out[at++] = separator;
    copy_bounded(out + at, name != nullptr ? name : "", out_size - 1 - at);
}

const char *system_dir_file(const char *name) {
    static char joined[kSystemDirBufSize];
    join_dir_file(system_directory(), path_separator(), name, joined, sizeof joined);
    return joined;
}

} // namespace brennic

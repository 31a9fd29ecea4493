#include "net/capture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brennic {
namespace {

// Returns -1 with errno set when the file cannot be opened or is not one to write.
int open_capture(const char *path) {
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

void append_all(int fd, const char *bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

} // namespace

const char *append_capture(const char *path, const char *bytes, std::size_t length) {
    const int fd = open_capture(path);
    if (fd < 0) return std::strerror(errno);
    append_all(fd, bytes, length);
    close(fd);
    return nullptr;
}

} // namespace brennic

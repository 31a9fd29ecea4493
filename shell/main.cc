// The console: the library's first user, through its C exports only.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shell/shell.h"

namespace {

// Standard input, output and error that were closed when the console was started are opened
// on /dev/null. Left closed, the first socket the library opens would take one of their
// numbers: commands would be read from the server link, and replies, diagnostics (the
// secret among them) and errors written into it in clear.
bool standard_streams_open() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) return false; // the lowest free number is this one
    }
    return true;
}

// A caller may hand over standard input or output in non-blocking mode (a pipe it shares, a
// terminal a parent left so). Stdio takes EAGAIN for an error: input would end early, and a
// reply to a slow reader would be cut and end the session. The console reads and writes them
// blocking.
void streams_blocking() {
    for (int fd = 0; fd <= 1; ++fd) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags != -1 && (flags & O_NONBLOCK) != 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (!standard_streams_open()) return 1;
    streams_blocking();
    return brennic::shell_main(argc, argv, stdin, stdout);
}

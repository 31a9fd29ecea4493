// The console: the library's first user, through its C exports only.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shell.h"

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

} // namespace

int main(int argc, char **argv) {
    if (!standard_streams_open()) return 1;
    return brennic::shell_main(argc, argv, stdin, stdout);
}

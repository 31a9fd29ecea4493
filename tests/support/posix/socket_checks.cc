#include "tests/support/socket_checks.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brennic::test {

bool is_non_blocking(int sock) { return (::fcntl(sock, F_GETFL) & O_NONBLOCK) != 0; }

bool is_inheritable(int sock) { return (::fcntl(sock, F_GETFD) & FD_CLOEXEC) == 0; }

bool is_open(int sock) { return ::fcntl(sock, F_GETFD) != -1; }

void shut_down(int sock) { ::shutdown(sock, SHUT_RDWR); }

int open_handles() {
    int n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace brennic::test

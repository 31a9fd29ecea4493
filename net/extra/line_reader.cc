#include "net/extra/utilities.h"
#include "net/platform.h"
#include "net/socket_errors.h"

namespace brennic {

int read_line_bytewise(int sock, char *buffer, std::size_t size) {
    if (size < 2) return 0;
    std::size_t used = 0;
    while (used < size - 1) {
        char byte = 0;
        sys.set_error(0);
        const ssize_t got = sys.recv(sock, &byte, 1, 0);
        record_sock_error();
        if (got < 0 && last_sock_error == kWouldBlock) continue; // try again at once
        if (got != 1) return 0;
        if (byte == '\n') {
            // The byte before LF is taken as CR and dropped unseen; a lone LF gives "".
            buffer[used > 0 ? used - 1 : 0] = '\0';
            return 1;
        }
        buffer[used++] = byte;
    }
    buffer[used] = '\0'; // cut: the rest of the line is read as the next one
    return 1;
}

} // namespace brennic

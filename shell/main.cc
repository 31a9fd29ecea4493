// The console: the library's first user, through its C exports only.
#include <cstdio>

#include "net/system.h"
#include "shell/shell.h"

int main(int argc, char **argv) {
    // Closed standard streams are opened on the null device before the library opens a
    // socket; input and output are read and written blocking (net/system.h).
    if (!brennic::prepare_standard_streams()) return 1;
    return brennic::shell_main(argc, argv, stdin, stdout);
}

// The console: the library's first user, through its C exports only.
#include <cstdio>

#include "shell.h"

int main(int argc, char **argv) { return brennic::shell_main(argc, argv, stdin, stdout); }

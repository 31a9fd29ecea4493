/* A small program for the child-process runner's own tests.
 *   runner_child args A B ...  prints each argument as "[A]" on a line of its own
 *   runner_child echo          copies standard input to standard output, writes "err" on
 *                              standard error and exits with status 3
 *   runner_child sleep         sleeps for 30 seconds
 */
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
static void sleep_seconds(unsigned s) { Sleep(s * 1000u); }
#else
#include <unistd.h>
static void sleep_seconds(unsigned s) { sleep(s); }
#endif

int main(int argc, char **argv) {
    char buf[4096];
    size_t n;
    int i;
    if (argc >= 2 && strcmp(argv[1], "args") == 0) {
        for (i = 2; i < argc; ++i)
            printf("[%s]\n", argv[i]);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "echo") == 0) {
        while ((n = fread(buf, 1, sizeof buf, stdin)) > 0)
            fwrite(buf, 1, n, stdout);
        fputs("err\n", stderr);
        return 3;
    }
    if (argc == 2 && strcmp(argv[1], "sleep") == 0) {
        sleep_seconds(30);
        return 0;
    }
    return 2;
}

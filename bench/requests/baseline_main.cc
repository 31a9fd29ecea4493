// The hand-written client as a program of its own: connects to the test server, makes N
// checks one at a time, checks every reply and exits (status 0 when all were right). Timed
// from spawn to reaping, it pays what the console pays for being a process: start-up,
// loading and a cold cache.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/requests/baseline_client.h"
#include "bench/requests/harness.h"

using namespace brennic::bench;

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_baseline PORT SECRET-FILE N\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int requests = std::atoi(argv[3]);
    baseline_client c;
    if (!c.open(port, read_secret_line(argv[2]))) return 1;
    std::string reply;
    for (int i = 0; i < requests; ++i)
        if (!c.request(-1, check_command(i), reply) || reply != accepted_text(i % kBenchUsers))
            return 1;
    return 0;
}

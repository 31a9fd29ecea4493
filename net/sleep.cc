#include <climits>

#include "net/platform.h"
#include "net/tcp.h"

namespace brennic {

int sleep_ms(int ms) {
    if (ms > 0) sys.sleep(ms);
    return 1;
}

int sleep_seconds(int seconds) {
    constexpr int kMaxChunk = INT_MAX / 1000; // seconds that fit one millisecond count
    while (seconds > 0) {
        const int chunk = seconds < kMaxChunk ? seconds : kMaxChunk;
        sys.sleep(chunk * 1000);
        seconds -= chunk;
    }
    return 1;
}

} // namespace brennic

// The library's one table of test hooks: the clock, the idle wait between polls, the
// handshake and send time limits, the blocking wait's spin, memory allocation and the
// opening of files. Every entry defaults to the real thing; tests replace entries to cross
// the protocol's timers without waiting and to inject failures, and reset_hooks() puts the
// defaults back. The socket calls have their own table in the socket layer (net/platform.h).
//
// This header depends on nothing above base/ and the standard library, so that every part
// of the library, the cipher included, reaches the same table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brennic {

struct library_hooks {
    std::int64_t (*now)();      // calendar time in seconds
    std::int64_t (*clock_ms)(); // a steady clock in milliseconds
    // Waits up to ms for any open link to be readable; 1 when one became readable.
    // nullptr (the default) waits on the open links of the host table.
    int (*idle_wait)(int ms);
    int handshake_wait_ms;              // time limit of the handshake reply
    int connect_wait_ms;                // time limit of a connect
    int send_wait_ms;                   // time limit of one send on a link
    void *(*alloc_zeroed)(std::size_t); // records and texts (calloc); nullptr when exhausted
    std::int64_t (*clock_ns)();         // a steady clock in nanoseconds, for the spin
    std::int64_t wait_spin_ns;          // longest spin of a blocking wait; 0: none
    // Storage released with free: keystream generators and the pending list's index
    // (malloc); nullptr when exhausted.
    void *(*allocate)(std::size_t);
    // The secret file, opened for reading without waiting and not inherited
    // (open_for_reading in net/system.h): a descriptor, or -1 with errno.
    int (*open_file)(const char *path);
    int secret_wait_ms; // how long a secret file that is a FIFO or device may take
};

extern library_hooks hooks;

// Puts the defaults back into `hooks`.
void reset_hooks();

} // namespace brennic

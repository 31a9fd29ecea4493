// The log sink: receives every diagnostic of the library, echoes it under "-debug" and
// appends it with a time stamp to brennic.log under "-dolog".
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace brennic {

inline constexpr const char kLogFileName[] = "brennic.log";
inline constexpr int kStampLength = 11; // "dd hh:mm:ss"
inline constexpr const char kBadTime[] = "badtimebadtimebadtime";
inline constexpr int kBadTimeOffset = 8; // gives "adtimebadti"
static_assert(kBadTimeOffset + kStampLength <= static_cast<int>(sizeof kBadTime) - 1);

// Seams for tests: the current time and its conversion to local time (nullptr: failed).
struct log_sink_seams {
    std::time_t (*now)();
    std::tm *(*local_time)(const std::time_t *, std::tm *);
};
extern log_sink_seams sink_seams;

// The brennic_log_fn handed to brennic_init. Levels 1 debug, 2 info, 3 error.
int log_sink(int level, const char *text);

// Size in bytes of the stream's file as the file system reports it; 0 when unknown.
std::int32_t file_size(std::FILE *stream);

// Forms the 11-character stamp and its terminator into stamp.
void make_stamp(char (&stamp)[kStampLength + 1]);

// Closes the log file if open (without deleting it) and restores the real seams.
void log_sink_reset();

// The open log file, or nullptr.
std::FILE *log_sink_file();

} // namespace brennic

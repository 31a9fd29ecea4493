// The console's own limits: its input line, the rendered reply fields and the log file.
#pragma once

#include "base/limits.h"

namespace brennic {

inline constexpr int kShellBufSize = 20000;   // input line and dispatch buffers
inline constexpr int kShellReadLimit = 19999; // fgets limit: at most 19998 characters
inline constexpr int kShellLineCopyMax = 19900;
inline constexpr int kRenderFieldMax = 200; // "%.200s" of user and reply in rendered lines
// A line the console says itself: a fixed text around at most one input piece.
inline constexpr int kLocalLineSize = kShellBufSize + 64;

// -timeout: the longest deadline a command can be given, one day.
inline constexpr int kTimeoutMaxSeconds = 86400;
// -json: the lines of one search are kept until its object is written, up to this many bytes;
// the store starts at kJsonLinesFirst and doubles.
inline constexpr long kJsonLinesMax = 64L * 1024 * 1024;
inline constexpr long kJsonLinesFirst = 4096;
// The status command: a host's name as shown, and "name:port" as JSON gives it.
inline constexpr int kHostNameShownMax = 255;
inline constexpr int kHostLabelSize = kHostNameShownMax + 16;
// The port a -host entry without one is reached on, as the library reads the list.
inline constexpr int kServerPortDefault = 601;

// -pipeline: at most this many commands outstanding at once.
inline constexpr int kPipelineDepthMax = 1000;
// A pipelined command with no reply after this long is given up, as a blocking request's wait
// gives up: 3000 polls, each followed by a 20 ms and a 1000 ms wait.
inline constexpr long kPipelineWaitLimitMs = 3000L * (20 + 1000);

// Log sink: the log file is deleted and started afresh past this size.
inline constexpr long kLogLimitBytes = 3000000;
// A FIFO log takes each line, with the count of lines dropped before it, in one write.
inline constexpr int kLogFifoWriteMax = 1280;
inline constexpr int kLogDropNoticeMax = 128; // the line that counts the dropped lines

} // namespace brennic

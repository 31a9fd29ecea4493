// The pipelined command loop (-pipeline N): up to N commands outstanding at once, each
// request sent asynchronously with an id of its own, the output printed in input order.
#pragma once

#include <cstdio>

#include "shell/limits.h"

namespace brennic {

struct pipeline_settings {
    int depth = 1; // commands outstanding at once, 1 to kPipelineDepthMax
    // A request with no reply after this long (from its last send) is given up and prints
    // the no-reply line, as a blocking request whose wait gave up.
    long wait_limit_ms = kPipelineWaitLimitMs;
};

// Reads commands from in until end of input or quit/exit and prints for each exactly what
// the one-at-a-time loop prints, in input order; a command's lines are flushed as soon as
// it and every command before it are complete. Commands in flight at the end complete
// before it returns. False when the output could not be written (the loop stops there).
bool run_pipeline(std::FILE *in, const pipeline_settings &settings);

} // namespace brennic

// A scripted stand-in for the library's C exports, so the shell can be driven without
// servers. Each request operation takes the next scripted answer and records its arguments.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "brennic.h"

namespace fake {

struct answer {
    int ret = 1;                     // what the operation returns
    std::optional<std::string> text; // the record's text; nullopt leaves it null
    std::vector<std::string> lines;  // given to the line callback before returning
    std::vector<std::string> logs;   // sent to the log callback (level 2) before returning
};

struct call {
    std::string op;
    int id = 0;
    std::string user; // for search: the search text
    std::optional<std::string> password;
    std::string rest;
    bool has_line_fn = false;
};

struct state {
    int init_ret = 1;
    std::vector<std::string> init_logs; // sent to the log callback by brennic_init
    int init_calls = 0;
    std::string init_hosts;
    std::string init_secret;
    brennic_log_fn log = nullptr;
    std::deque<answer> answers; // an empty queue answers {1, "+OK"}
    std::vector<call> calls;
    int records_made = 0;
    int records_freed = 0;
    int null_frees = 0;
    std::function<void(const call &)> on_call; // runs as each request arrives
};

extern state fake_state;
void reset();

} // namespace fake

// A scripted stand-in for the library's C exports, so the shell can be driven without
// servers. Each request operation takes the next scripted answer and records its arguments.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "brennic.h"

namespace fake {

struct refusal {
    std::string host; // the host entry
    std::string text; // the server's answer
};

struct host {
    std::string name;
    int port = 601;
    int state = BRENNIC_HOST_CLOSED;
    std::int64_t seconds = -1;
};

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
    std::vector<refusal> init_refusals;        // noticed by brennic_init
    std::vector<host> hosts;                   // what brennic_host_state describes
    brennic_notice_fn notice = nullptr;
    int notice_calls = 0;                  // brennic_set_notice_fn
    int timeout_ms = -1;                   // the last brennic_set_timeout, -1 when never called
    int result_host = 0;                   // what brennic_result_host says of every record
    std::vector<refusal> request_refusals; // noticed by the next request, then cleared
};

extern state fake_state;
void reset();

} // namespace fake

#include "shell/options.h"

#include <cstring>
#include <string_view>

#include "base/text.h"
#include "shell/shell.h"

namespace brennic {

script_options script;
bool host_refused = false;
bool secret_refused = false;
bool pipeline_refused = false;

namespace {

bool takes_value(std::string_view arg) {
    return arg == "-secret" || arg == "-host" || arg == "-timeout" || arg == "-pipeline";
}

bool is_flag(std::string_view arg) {
    return arg == "-help" || arg == "-h" || arg == "-debug" || arg == "-version" ||
           arg == "-dolog" || arg == "-strict" || arg == "-json" || arg == "-status";
}

// -strict anywhere among the options, values excepted.
bool strict_requested(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-strict") return true;
        if (takes_value(arg)) ++i;
    }
    return false;
}

// Every argument is an option, and every value option has its value.
bool all_known(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (takes_value(arg)) {
            if (i + 1 >= argc) return false;
            ++i;
        } else if (!is_flag(arg)) {
            return false;
        }
    }
    return true;
}

// Copies an option value whole. One longer than the library keeps is refused rather than
// cut: a path cut short names another file, and a host list cut short loses servers or
// names one that was never given.
bool take_value(char *dst, const char *value, int max) {
    if (strnlen(value, static_cast<std::size_t>(max) + 1) > static_cast<std::size_t>(max))
        return false;
    copy_bounded(dst, value, max);
    return true;
}

} // namespace

bool parse_timeout(const char *text, int &ms) {
    // Whole seconds and thousandths are counted apart, so no value overflows on its way.
    long seconds = 0;
    long thousandths = 0;
    bool rest = false; // digits past the thousandths that are not all zero
    int digits = 0;
    const char *p = text;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        seconds = seconds * 10 + (*p - '0');
        if (seconds > kTimeoutMaxSeconds) return false;
    }
    if (*p == '.') {
        ++p;
        int places = 0;
        for (; *p >= '0' && *p <= '9'; ++p, ++places, ++digits) {
            if (places < 3)
                thousandths = thousandths * 10 + (*p - '0');
            else if (*p != '0')
                rest = true;
        }
        for (; places < 3; ++places)
            thousandths *= 10;
    }
    if (*p != '\0' || digits == 0) return false;
    const long total = seconds * 1000 + thousandths + (rest ? 1 : 0);
    if (total <= 0 || total > static_cast<long>(kTimeoutMaxSeconds) * 1000) return false;
    ms = static_cast<int>(total);
    return true;
}

int parse_pipeline_depth(const char *text) {
    int depth = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        depth = depth * 10 + (*p - '0');
        if (depth > kPipelineDepthMax) return 0;
    }
    return depth;
}

start_action read_options(int argc, char **argv) {
    if (strict_requested(argc, argv)) {
        script.strict = true;
        if (!all_known(argc, argv)) return start_action::usage_error;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-help" || arg == "-h") return start_action::usage;
        if (arg == "-debug") debug_flag = 1;
        if (arg == "-version") return start_action::version;
        if (arg == "-dolog") dolog_flag = 1;
        if (arg == "-json") script.json = true;
        if (arg == "-status") script.status = true;
        // A value option with nothing after it is ignored (under -strict it was refused
        // above); a value it takes is never itself read as an option.
        if (arg == "-secret" && i + 1 < argc) {
            if (!take_value(secret_arg, argv[++i], kSecretPathMax)) secret_refused = true;
            continue;
        }
        if (arg == "-host" && i + 1 < argc) {
            if (!take_value(host_list, argv[++i], kHostListMax)) host_refused = true;
            continue;
        }
        // A deadline asked for is never dropped silently: a script would wait without one.
        if (arg == "-timeout") {
            if (i + 1 >= argc || !parse_timeout(argv[++i], script.timeout_ms))
                return start_action::usage_error;
            continue;
        }
        // A depth out of range is said and the console runs one command at a time; a
        // script that asked for -strict is stopped instead.
        if (arg == "-pipeline" && i + 1 < argc) {
            const int depth = parse_pipeline_depth(argv[++i]);
            if (depth > 0)
                script.pipeline_depth = depth;
            else if (script.strict)
                return start_action::usage_error;
            else
                pipeline_refused = true;
            continue;
        }
    }
    return start_action::run;
}

} // namespace brennic

// The console's command-line options.
#pragma once

namespace brennic {

// The options for scripts; all off at start (see shell_reset). Without them the console
// prints what it always printed.
struct script_options {
    bool strict = false;    // reject bad options, skip blank and # lines, check arguments
    bool json = false;      // one JSON object per command on standard output
    bool status = false;    // the exit status says how the commands went
    int timeout_ms = 0;     // deadline of each command; 0: the library's own limits
    int pipeline_depth = 1; // commands outstanding at once; 1: one at a time
};
extern script_options script;

// What the console does after reading its options.
enum class start_action {
    run,         // start the library and read commands
    usage,       // print the usage line and end with status 0
    version,     // print the version line and end with status 0
    usage_error, // print the usage line on standard error and end with kExitUsage
};

// Walks the arguments in order, setting the flags, the host list, the secret path and the
// script options. "-help", "-h" and "-version" end the walk. Under -strict (anywhere on the
// line) an argument that is no option, or a value option without its value, gives
// usage_error before anything is set, and so does a -pipeline value out of range; a
// malformed -timeout value always does. A value
// taken by an option is never itself read as an option.
start_action read_options(int argc, char **argv);

// Reads a -timeout value: a decimal number of seconds, digits with an optional fraction
// ("2", "0.5"), more than 0 and at most kTimeoutMaxSeconds. ms gets it in milliseconds,
// rounded up. False when the text is not such a number.
bool parse_timeout(const char *text, int &ms);

// Set by read_options when a -host or -secret value was too long to keep whole.
extern bool host_refused;
extern bool secret_refused;
// Set by read_options when a -pipeline value was not a number from 1 to kPipelineDepthMax:
// the console then runs one command at a time.
extern bool pipeline_refused;

// Reads a -pipeline value: a whole number from 1 to kPipelineDepthMax, or 0 when it is not one.
int parse_pipeline_depth(const char *text);

} // namespace brennic

// The console shell: options, the command loop and the command handlers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "brennic.h"
#include "shell/limits.h"
#include "shell/report.h"

namespace brennic {

inline constexpr const char kShellVersion[] = "1.2a";
inline constexpr const char kDefaultHostList[] = "127.0.0.1";

// Process-wide state of the shell, zero or empty at start (see shell_reset).
extern char host_list[kShellBufSize];  // handed to brennic_init; "-host" replaces it
extern char secret_arg[kShellBufSize]; // secret-file path; empty selects the default file
extern std::int32_t debug_flag;        // "-debug": the log sink echoes on the output stream
extern std::int32_t dolog_flag;        // "-dolog": the log sink writes brennic.log
extern std::int32_t quit_flag;         // set by quit and exit; ends the command loop

// The reply stream: standard output unless a test supplies another. The log sink's echo
// lines go to this same stream so they stay in order with the replies.
extern std::FILE *shell_out;
// Set when the reply stream is a terminal: server text is then shown with '?' for the bytes
// a terminal would act on (see put_text_line).
extern bool shell_out_is_terminal;
// Where the log sink echoes under -debug instead of the reply stream: standard error under
// -json; nullptr, the default, keeps the echo in the reply stream.
extern std::FILE *echo_out;
extern bool echo_out_is_terminal;

// Runs the whole console: options, brennic_init, the command loop, "+OK exiting".
// Returns the exit status: 0, or 1 when standard output could not be written (the loop
// then stops at that reply); under -status how the commands went; kExitUsage for options
// refused under -strict.
int shell_main(int argc, char **argv, std::FILE *in, std::FILE *out);

// Reads one input line as the command loop does: at most kShellReadLimit - 1 characters, LF
// kept; under -strict overlong says that the line went past that and its rest was dropped.
// False at the end of input.
bool read_command_line(std::FILE *in, char (&line)[kShellBufSize], bool &overlong);

// Handles one input line as read (LF included when there was one) and flushes the output.
// overlong: the line went past the read limit and its rest was dropped (-strict).
void dispatch_line(const char *line, bool overlong = false);

// One input line cut into its pieces.
struct command_line {
    char line_copy[kShellBufSize]; // the line up to its first LF or CR: what search sends
    char cmd[kShellBufSize];       // the command word, lower-cased; "nocommand" when none
    char arg1[kShellBufSize];
    char arg2[kShellBufSize];
    char rest[kShellBufSize]; // from after the delimiter ending arg2 to the line end
    bool overlong = false;    // past the read limit, its rest dropped (-strict)
};

// Cuts a line as read into its pieces.
void parse_line(const char *line, command_line &out);

// Starts a command from an input line as read: gives it the next input line number and its
// start time, and cuts it into cl, with c.word naming cl.cmd. False for a line that -strict
// passes over without a reply.
bool take_line(const char *line, bool overlong, command &c, command_line &cl);

// The commands that send a request, and none for the others (quit, help, invalid words).
enum class request_kind { none, check, lookup, set, mod, del, search };
request_kind request_of(const char *cmd);

// Whether a parsed command goes out as a request: it names one, and under -strict it has
// its arguments, and its user name and password go out whole (at most kUserMax characters).
bool request_goes_out(const command_line &cl);

// Runs a parsed command as the one-at-a-time loop does up to the send. A command that sends
// nothing, or a request refused unsent, is answered here through the report functions and
// gives none. A request that goes out gets c.word (a constant text), c.user or c.text
// (pointing into cl) and c.render filled in, and its kind is returned for the caller to send.
request_kind admit_command(command &c, const command_line &cl);

// Runs a parsed command as the one-at-a-time loop does: admitted, then sent as a blocking
// request and finished.
void run_command(command &c, const command_line &cl);

// Builds the printed form of a check or lookup reply for the user as typed. out must hold
// kShellBufSize characters.
void render_reply(const char *reply, const char *user, char *out);

// The search line callback: prints the line and a line end; the id is ignored.
int print_line(int id, const char *line);

// Writes text followed by LF; CR and LF inside the text become spaces, so a server text can
// never start a line of its own in the reply stream. On a terminal every control byte but
// TAB, and DEL, is written as '?' instead.
void put_text_line(std::FILE *out, const char *text);
// The same for a stream other than standard output: terminal says whether out is one.
void put_text_line_as(std::FILE *out, const char *text, bool terminal);

// Puts every piece of shell state, the log sink's included, back to its start value.
void shell_reset();

} // namespace brennic

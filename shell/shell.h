// The console shell: options, the command loop and the command handlers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "brennic.h"
#include "shell/limits.h"

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

// Runs the whole console: options, brennic_init, the command loop, "+OK exiting".
// Returns the exit status: 0, or 1 when standard output could not be written (the loop
// then stops at that reply).
int shell_main(int argc, char **argv, std::FILE *in, std::FILE *out);

// Handles one input line as read (LF included when there was one) and flushes the output.
void dispatch_line(const char *line);

// One input line cut into its pieces.
struct command_line {
    char line_copy[kShellBufSize]; // the line up to its first LF or CR: what search sends
    char cmd[kShellBufSize];       // the command word, lower-cased; "nocommand" when none
    char arg1[kShellBufSize];
    char arg2[kShellBufSize];
    char rest[kShellBufSize]; // from after the delimiter ending arg2 to the line end
};

// Cuts a line as read into its pieces.
void parse_line(const char *line, command_line &out);

// Runs a parsed command as the one-at-a-time loop does, printing to shell_out.
void run_command(const command_line &c);

// The commands that send a request, and none for the others (quit, help, invalid words).
enum class request_kind { none, check, lookup, set, mod, del, search };
request_kind request_of(const char *cmd);

// Whether the user name and password of a request go out whole (both at most kUserMax
// characters); a command whose fields do not fit is refused by run_command unsent.
bool fields_fit(const command_line &c, request_kind kind);

// Prints what a request command prints once its call is over: the refusal when the call
// returned 0, the no-reply line when the record has no reply text (r may be null), else the
// reply (rendered for check and lookup). who is the user, or for search the whole line;
// lines_printed says whether a search's reply lines were printed already.
void render_finished(request_kind kind, int ok, const brennic_result *r, const char *who,
                     bool lines_printed);

// Builds the printed form of a check or lookup reply for the user as typed. out must hold
// kShellBufSize characters.
void render_reply(const char *reply, const char *user, char *out);

// The search line callback: prints the line and a line end; the id is ignored.
int print_line(int id, const char *line);

// Writes text followed by LF; CR and LF inside the text become spaces, so a server text can
// never start a line of its own in the reply stream. On a terminal every control byte but
// TAB, and DEL, is written as '?' instead.
void put_text_line(std::FILE *out, const char *text);

// Puts every piece of shell state, the log sink's included, back to its start value.
void shell_reset();

} // namespace brennic

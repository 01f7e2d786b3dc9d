#pragma once

#include <string_view>

// Reports "<program>: <what>: <reason>" on standard error, in one write whenever it fits in
// PIPE_BUF, so that messages from several processes sharing a terminal or a pipe do not mix;
// only a long path makes it longer, and it then goes out whole in several writes. What may come
// from the command line, so it is shown escaped. Returns 1, the exit status for a failure.
int report(std::string_view program, std::string_view what, std::string_view reason);
// The same with the system's reason for err.
int report_error(std::string_view program, std::string_view what, int err);

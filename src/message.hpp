#pragma once

#include <string_view>

// Reports "<program>: <what>: <reason>" on standard error in one write, so that messages from
// several processes sharing a terminal do not mix. What may come from the command line, so it
// is shown escaped, and whole up to the longest argument that Linux passes to a program.
// Returns 1, the exit status for a failure.
int report(std::string_view program, std::string_view what, std::string_view reason);
// The same with the system's reason for err.
int report_error(std::string_view program, std::string_view what, int err);

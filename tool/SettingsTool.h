#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace virelon::tool {

/// Exit statuses of the command-line tool. notAnnounced: a change was stored, but the session bus
/// did not take its change signal, so no running engine was told.
enum ExitStatus : int { ok = 0, failed = 1, badUsage = 2, notAnnounced = 3 };

/// Runs the tool with its arguments (without the program name), writing results to `out` and
/// messages to `err`. Returns the exit status.
int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace virelon::tool

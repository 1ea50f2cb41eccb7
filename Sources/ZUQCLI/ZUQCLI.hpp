// The command-line front end: entry point, command dispatch and the help text.
#pragma once

#include "Arguments.hpp"
#include "JSON.hpp"

#include <optional>
#include <string>
#include <vector>

namespace ZUQCLI {

/// Runs one invocation: parses `arguments` (the program name first), answers --version and
/// --help, dispatches, prints the result on standard output or the error object on standard
/// error. Returns the process exit status, 0 or 1.
int main(const std::vector<std::string>& arguments);

/// Runs the command the arguments name. `program` is the path the program was started by.
/// Returns the command's result, or nothing for a command that prints nothing.
std::optional<JSON> execute(const Arguments& arguments, const std::string& program);

/// The help text, without a trailing newline.
const std::string& help();

/// The --timeout value in seconds: 7200 when absent; must be a number from 1 to 86400.
double timeout(const Arguments& arguments);

} // namespace ZUQCLI

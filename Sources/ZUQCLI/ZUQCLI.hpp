// The command-line front end: entry point, command dispatch and the help text.
#pragma once

#include "API.hpp"
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

/// Polls the job every 3 seconds until it ends or `timeout` seconds have passed. Following, it
/// first prints each new event's message on standard error as it arrives. Returns the job once
/// it has succeeded; a failed or cancelled job throws "Job <id> <state>: <error>", the
/// deadline throws "Timed out waiting for job <id>. ...". Relay errors end the wait at once.
JSON wait(const API& api, const std::string& id, double timeout, bool follow);

} // namespace ZUQCLI

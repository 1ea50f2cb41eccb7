// The zuq-relay process: start-up, serving, and a clean stop on SIGTERM or SIGINT.
#pragma once

#include <string>
#include <vector>

namespace ZUQRelay {

/// Runs the relay with the arguments after the program name; returns the exit status. Errors
/// before serving are written to standard error as {"error": message} with status 1.
int main(const std::vector<std::string>& arguments);

} // namespace ZUQRelay

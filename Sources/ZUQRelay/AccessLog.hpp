// The relay's log on standard error: one line per request, and notices. Never a token, lease,
// code or secret: only the method, the path, the status, the time taken and the device.
#pragma once

#include <string_view>

#include <httplib.h>

namespace ZUQRelay::AccessLog {

/// "<UTC time> <method> <path> <status> <milliseconds>ms <device id or ->". The path is cut to
/// a sensible length and stripped of control characters.
void request(const httplib::Request& request, const httplib::Response& response);

/// "<UTC time> <text>", for starting, stopping and failures.
void notice(std::string_view text);

} // namespace ZUQRelay::AccessLog

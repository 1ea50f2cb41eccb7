// The relay's log on standard error: one line per request, and notices. Never a token, lease,
// code or secret: only the method, the path, the status, the time taken and the device.
//
// Lines are handed to a writer thread of the log's own and written in batches, so that a
// request never waits for standard error: a log file on a disk busy with uploads can block
// a write for a long time. Should the writer fall far behind, further lines are dropped and
// counted, and the count is logged once it catches up. Thread-safe.
#pragma once

#include <string_view>

namespace ZUQRelay::AccessLog {

/// "<UTC time> <method> <path> <status> <milliseconds>ms <device id or ->". The method and
/// path are cut to a sensible length and stripped of control characters; an empty one, or an
/// empty device, is written as "-".
void request(std::string_view method, std::string_view path, unsigned status, double milliseconds,
             std::string_view device);

/// "<UTC time> <text>", for starting, stopping and failures.
void notice(std::string_view text);

/// Waits until every line logged so far has been written (or could not be).
void flush();

/// Writes every later line to `descriptor` (kept open by the caller) instead of standard
/// error: for a program that runs a relay inside itself and has its own use for standard
/// error, such as a fuzzer.
void writeTo(int descriptor);

} // namespace ZUQRelay::AccessLog

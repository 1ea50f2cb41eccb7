#include "AccessLog.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <unistd.h>

namespace ZUQRelay::AccessLog {

namespace {

constexpr std::size_t pathCharacters = 200;

void appendTime(std::string& line) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto milliseconds =
        duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds));
    line += text;
}

void appendSanitised(std::string& line, std::string_view text, std::size_t limit) {
    for (std::size_t index = 0; index < text.size() && index < limit; ++index) {
        unsigned char c = static_cast<unsigned char>(text[index]);
        line += c <= ' ' || c == 0x7F ? '?' : static_cast<char>(c);
    }
    if (text.size() > limit) {
        line += "...";
    }
}

void emit(std::string& line) {
    line += '\n';
    // One write per line, so lines from different threads never interleave.
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

} // namespace

void request(std::string_view method, std::string_view path, unsigned status, double milliseconds,
             std::string_view device) {
    std::string line;
    line.reserve(160);
    appendTime(line);
    line += ' ';
    appendSanitised(line, method.empty() ? "-" : method, 16);
    line += ' ';
    appendSanitised(line, path.empty() ? "-" : path, pathCharacters);
    line += ' ';
    line += std::to_string(status);
    char taken[32];
    std::snprintf(taken, sizeof taken, " %.1fms ", milliseconds);
    line += taken;
    line += device.empty() ? "-" : device;
    emit(line);
}

void notice(std::string_view text) {
    std::string line;
    appendTime(line);
    line += ' ';
    line += text;
    emit(line);
}

} // namespace ZUQRelay::AccessLog

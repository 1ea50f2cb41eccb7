#include "BuildLog.hpp"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

namespace AppleSim {

BuildLog::BuildLog(bool realistic) : realistic_(realistic) {}

void BuildLog::pause(double realisticSeconds) {
    if (realistic_ && realisticSeconds > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(realisticSeconds));
    }
}

void BuildLog::step(const std::string& title, const std::string& target,
                    const std::string& project, const std::string& directory,
                    const std::vector<std::string>& commands, double realisticSeconds) {
    std::string text = title + " (in target '" + target + "' from project '" + project + "')\n";
    text += "    cd " + directory + "\n";
    for (const std::string& command : commands) {
        text += "    " + command + "\n";
    }
    std::cout << text << "\n" << std::flush;
    pause(realisticSeconds);
}

void BuildLog::note(const std::string& text) {
    std::cout << text << std::flush;
}

void BuildLog::flood(std::uint64_t bytes, const std::string& directory) {
    std::string line = "    /Applications/Xcode.app/Contents/Developer/Toolchains/"
                       "XcodeDefault.xctoolchain/usr/bin/swift-frontend -frontend -c -primary-file " +
                       directory + "/Generated/Strings.swift -emit-module-path " + directory +
                       "/Intermediates.noindex/Strings.swiftmodule -target arm64-apple-ios17.0 "
                       "-Xllvm -aarch64-use-tbi -enable-objc-interop -sdk "
                       "/Applications/Xcode.app/Contents/Developer/Platforms/iPhoneOS.platform/"
                       "Developer/SDKs/iPhoneOS.sdk -warn-long-expression-type-checking=200\n";
    std::string chunk;
    while (chunk.size() < (1u << 20)) {
        chunk += line;
    }
    while (bytes > 0) {
        std::size_t size = bytes < chunk.size() ? static_cast<std::size_t>(bytes) : chunk.size();
        std::fwrite(chunk.data(), 1, size, stdout);
        bytes -= size;
    }
    std::fflush(stdout);
}

} // namespace AppleSim

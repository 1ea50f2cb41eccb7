#include "Processes.hpp"

#include "Files.hpp"
#include "World.hpp"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace AppleSim::Processes {

namespace fs = std::filesystem;

namespace {

fs::path directory() {
    return World::directory() / "processes";
}

} // namespace

std::uint64_t startTime(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses; the fields after it are plain.
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    std::string state;
    fields >> state;
    if (state == "Z" || state == "X") {
        return 0;
    }
    // After the state come 18 fields before starttime (field 22 of the whole line).
    for (int index = 0; index < 18 && fields >> field; ++index) {
    }
    std::uint64_t started = 0;
    fields >> started;
    return started;
}

bool alive(const Record& record) {
    return record.pid > 0 && record.started != 0 && startTime(record.pid) == record.started;
}

void remember(const std::string& role) {
    pid_t pid = ::getpid();
    nlohmann::json record = {{"pid", pid}, {"started", startTime(pid)}, {"role", role}};
    makeDirectories(World::ensureDirectory() / "processes", 0700);
    writeFileAtomically(directory() / std::to_string(pid), record.dump(), 0600);
}

void forget(pid_t pid) {
    std::error_code ignored;
    fs::remove(directory() / std::to_string(pid), ignored);
}

std::vector<Record> running() {
    std::vector<Record> records;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory(), error)) {
        if (entry.path().filename().string().find(".tmp-") != std::string::npos) {
            continue;
        }
        nlohmann::json value;
        try {
            value = nlohmann::json::parse(readFile(entry.path()));
        } catch (const std::exception&) {
            continue;
        }
        Record record{value.value("pid", 0), value.value("started", std::uint64_t{0}),
                      value.value("role", "")};
        if (alive(record)) {
            records.push_back(record);
        } else {
            fs::remove(entry.path(), error);
        }
    }
    return records;
}

bool signal(const Record& record, int number) {
    return alive(record) && ::kill(record.pid, number) == 0;
}

} // namespace AppleSim::Processes

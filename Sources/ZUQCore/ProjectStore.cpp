// The project registry: the Project record, its stored and relay forms, and the locked
// read-modify-write of "projects.json".
#include "Platform/File.hpp"
#include "Platform/FileLock.hpp"
#include "Storage.hpp"

#include <algorithm>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

// MARK: Project

JSON Project::json() const {
    return JSON::object({
        {"id", id},
        {"name", name},
        {"schemes", JSON::strings(schemes)},
        {"configurations", JSON::strings(configurations)},
    });
}

std::vector<std::string> Project::selection() const {
    return {path.ends_with(".xcworkspace") ? "-workspace" : "-project", path};
}

// MARK: Stored form

namespace {

// A registry that cannot be decoded names the file and the first thing wrong with it.
[[noreturn]] void damaged(const fs::path& file, const std::string& problem) {
    throw JSON::ParseError("The project registry " + file.string() + " is damaged: " + problem);
}

std::string entryName(std::size_t index) {
    return "entry " + std::to_string(index + 1);
}

std::string requiredText(const JSON& entry, std::string_view key, std::size_t index,
                         const fs::path& file) {
    auto text = entry[key].string();
    if (!text) {
        damaged(file, entryName(index) + " has no text \"" + std::string(key) + "\"");
    }
    return std::move(*text);
}

std::vector<std::string> requiredTexts(const JSON& entry, std::string_view key, std::size_t index,
                                       const fs::path& file) {
    const JSON& list = entry[key];
    if (list.kind() != JSON::Kind::array) {
        damaged(file, entryName(index) + " has no list \"" + std::string(key) + "\"");
    }
    std::vector<std::string> texts;
    for (const JSON& item : list.items()) {
        auto text = item.string();
        if (!text) {
            damaged(file, entryName(index) + " has an item of \"" + std::string(key) +
                              "\" that is not text");
        }
        texts.push_back(std::move(*text));
    }
    return texts;
}

bool requiredFlag(const JSON& entry, std::string_view key, std::size_t index,
                  const fs::path& file) {
    if (entry[key].kind() != JSON::Kind::boolean) {
        damaged(file, entryName(index) + " has no true or false \"" + std::string(key) + "\"");
    }
    return entry[key].flag();
}

// Absent and null both mean "not given"; any other kind than text is damage.
std::optional<std::string> optionalText(const JSON& entry, std::string_view key, std::size_t index,
                                        const fs::path& file) {
    const JSON& value = entry[key];
    if (value.isNull()) {
        return std::nullopt;
    }
    if (value.kind() != JSON::Kind::string) {
        damaged(file, entryName(index) + " has \"" + std::string(key) + "\" that is not text");
    }
    return value.text();
}

std::vector<Project> decodeRegistry(std::string_view data, const fs::path& file) {
    JSON document;
    try {
        document = JSON::decode(data);
    } catch (const JSON::ParseError& error) {
        damaged(file, error.what());
    }
    if (document.kind() != JSON::Kind::array) {
        damaged(file, "it is not a list");
    }
    std::vector<Project> projects;
    for (std::size_t index = 0; index < document.items().size(); ++index) {
        const JSON& entry = document.items()[index];
        if (entry.kind() != JSON::Kind::object) {
            damaged(file, entryName(index) + " is not an object");
        }
        // Braced initialisation runs left to right: the first damaged member is the one named.
        projects.push_back(Project{
            requiredText(entry, "id", index, file),
            requiredText(entry, "name", index, file),
            requiredText(entry, "path", index, file),
            requiredTexts(entry, "schemes", index, file),
            requiredTexts(entry, "configurations", index, file),
            optionalText(entry, "teamID", index, file),
            optionalText(entry, "exportOptionsPath", index, file),
            requiredFlag(entry, "automaticSigning", index, file),
        });
    }
    return projects;
}

std::string encodeRegistry(const std::vector<Project>& projects) {
    JSON::Array entries;
    entries.reserve(projects.size());
    for (const Project& project : projects) {
        JSON::Object members{
            {"id", project.id},
            {"name", project.name},
            {"path", project.path},
            {"schemes", JSON::strings(project.schemes)},
            {"configurations", JSON::strings(project.configurations)},
            {"automaticSigning", project.automaticSigning},
        };
        if (project.teamID) {
            members.emplace("teamID", *project.teamID);
        }
        if (project.exportOptionsPath) {
            members.emplace("exportOptionsPath", *project.exportOptionsPath);
        }
        entries.emplace_back(std::move(members));
    }
    return JSON(std::move(entries)).data();
}

// MARK: Locked access

// Serialises registry access among this process's threads. Between processes the file lock
// beside the registry does the same for writers.
std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

fs::path registryFile(const fs::path& root) {
    return root / "projects.json";
}

// The registry as it is on disk; an absent file is an empty registry.
std::vector<Project> readRegistry(const fs::path& file) {
    std::string data;
    try {
        data = Platform::readFile(file);
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) {
            return {};
        }
        throw;
    }
    return decodeRegistry(data, file);
}

// Reads, lets `change` edit the list, and writes it back whole, holding both locks throughout,
// so that a change made by another process between the read and the write cannot be lost.
template <typename Change>
void rewrite(Change&& change) {
    std::lock_guard lock(registryMutex());
    fs::path root = Paths::directory("");
    Platform::FileLock fileLock(root / "projects.lock");
    fs::path file = registryFile(root);
    std::vector<Project> projects = readRegistry(file);
    change(projects);
    Paths::atomicWrite(encodeRegistry(projects), file);
}

} // namespace

// MARK: ProjectStore

std::vector<Project> ProjectStore::load() {
    // Readers need no file lock: writers replace the file whole, in one rename.
    std::lock_guard lock(registryMutex());
    return readRegistry(registryFile(Paths::root()));
}

void ProjectStore::upsert(const Project& project) {
    rewrite([&](std::vector<Project>& projects) {
        std::erase_if(projects, [&](const Project& entry) {
            return entry.id == project.id || entry.path == project.path;
        });
        projects.push_back(project);
    });
}

void ProjectStore::remove(std::string_view id) {
    rewrite([&](std::vector<Project>& projects) {
        std::erase_if(projects, [&](const Project& entry) { return entry.id == id; });
    });
}

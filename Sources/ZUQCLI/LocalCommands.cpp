// What this Mac contributes: projects add, remove and list --local, and devices --local.
#include "Commands.hpp"
#include "Devices.hpp"

namespace Commands {

Result projectsAdd(Invocation& invocation) {
    const Arguments& arguments = invocation.arguments;
    if (arguments.positional.size() != 3) {
        throw ZUQError("Usage: zuq projects add /path/App.xcodeproj");
    }
    auto exportOptions = arguments.value("--export-options");
    bool manual = arguments.flag("--manual");
    if (manual && !exportOptions) {
        throw ZUQError("Manual signing requires --export-options");
    }
    Project project = ProjectStore::inspect(
        arguments.positional[2], arguments.value("--name"), arguments.value("--team"),
        exportOptions, manual ? ProjectStore::Signing::manual : ProjectStore::Signing::automatic);
    ProjectStore::upsert(project);
    return project.json();
}

Result projectsRemove(Invocation& invocation) {
    const auto& words = invocation.arguments.positional;
    if (words.size() != 3) {
        throw ZUQError("Provide the local project ID");
    }
    ProjectStore::remove(words[2]);
    return JSON::object({{"ok", true}});
}

Result projectsListLocal(Invocation&) {
    JSON::Array projects;
    for (const Project& project : ProjectStore::load()) {
        projects.push_back(project.json());
    }
    return JSON(std::move(projects));
}

Result devicesLocal(Invocation&) {
    std::vector<JSON> phones = Devices::list();
    return JSON(JSON::Array(std::make_move_iterator(phones.begin()),
                            std::make_move_iterator(phones.end())));
}

} // namespace Commands

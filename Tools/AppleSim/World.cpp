#include "World.hpp"

#include "Failure.hpp"
#include "Files.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

const Identity* Team::identity(const std::string& kind) const {
    for (const Identity& candidate : identities) {
        if (candidate.kind == kind) {
            return &candidate;
        }
    }
    return nullptr;
}

Phone* WorldState::phone(const std::string& udid) {
    for (Phone& candidate : phones) {
        if (candidate.udid == udid) {
            return &candidate;
        }
    }
    return nullptr;
}

bool WorldState::registered(const std::string& udid) const {
    for (const RegisteredDevice& device : registeredDevices) {
        if (device.udid == udid) {
            return true;
        }
    }
    return false;
}

double WorldState::now() const {
    return realNow() + clockOffset;
}

double realNow() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string isoDate(double seconds) {
    std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

namespace {

// The file keeps the same keys the control command prints, so `status` is mostly a copy.

json toJSON(const Phone& phone) {
    return {{"udid", phone.udid},
            {"name", phone.name},
            {"os", phone.os},
            {"type", phone.type},
            {"model", phone.model},
            {"tunnel", phone.tunnel},
            {"transport", phone.transport},
            {"pairing", phone.pairing},
            {"form", phone.form},
            {"identifier", phone.identifier},
            {"simulator", phone.simulator},
            {"developer_mode", phone.developerMode},
            {"locked", phone.locked},
            {"unlock_at", phone.unlockAt},
            {"disk_image_mounted", phone.diskImageMounted}};
}

Phone phoneFrom(const json& value) {
    Phone phone;
    phone.udid = value.value("udid", "");
    phone.name = value.value("name", "");
    phone.os = value.value("os", phone.os);
    phone.type = value.value("type", phone.type);
    phone.model = value.value("model", "");
    phone.tunnel = value.value("tunnel", phone.tunnel);
    phone.transport = value.value("transport", phone.transport);
    phone.pairing = value.value("pairing", phone.pairing);
    phone.form = value.value("form", phone.form);
    phone.identifier = value.value("identifier", "");
    phone.simulator = value.value("simulator", false);
    phone.developerMode = value.value("developer_mode", true);
    phone.locked = value.value("locked", false);
    phone.unlockAt = value.value("unlock_at", 0.0);
    phone.diskImageMounted = value.value("disk_image_mounted", false);
    return phone;
}

json toJSON(const Team& team) {
    json identities = json::array();
    for (const Identity& identity : team.identities) {
        identities.push_back({{"kind", identity.kind},
                              {"name", identity.name},
                              {"sha1", identity.sha1},
                              {"not_before", identity.notBefore},
                              {"not_after", identity.notAfter}});
    }
    return {{"id", team.id},
            {"name", team.name},
            {"developer", team.developer},
            {"member_id", team.memberID},
            {"enterprise", team.enterprise},
            {"identities", identities}};
}

Team teamFrom(const json& value) {
    Team team;
    team.id = value.value("id", "");
    team.name = value.value("name", "");
    team.developer = value.value("developer", "");
    team.memberID = value.value("member_id", "");
    team.enterprise = value.value("enterprise", false);
    for (const json& identity : value.value("identities", json::array())) {
        team.identities.push_back({identity.value("kind", ""), identity.value("name", ""),
                                   identity.value("sha1", ""), identity.value("not_before", 0.0),
                                   identity.value("not_after", 0.0)});
    }
    return team;
}

json toJSON(const WorldState& world) {
    json phones = json::array();
    for (const Phone& phone : world.phones) {
        phones.push_back(toJSON(phone));
    }
    json registered = json::array();
    for (const RegisteredDevice& device : world.registeredDevices) {
        registered.push_back({{"udid", device.udid}, {"name", device.name}});
    }
    json installs = json::array();
    for (const Install& install : world.installs) {
        installs.push_back({{"udid", install.udid},
                            {"bundle_id", install.bundleID},
                            {"name", install.name},
                            {"version", install.version},
                            {"build", install.build},
                            {"installed_at", install.installedAt},
                            {"profile_expires", install.profileExpires}});
    }
    json launches = json::array();
    for (const Launch& launch : world.launches) {
        launches.push_back({{"udid", launch.udid},
                            {"bundle_id", launch.bundleID},
                            {"pid", launch.pid},
                            {"launched_at", launch.launchedAt}});
    }
    return {{"team", world.team ? toJSON(*world.team) : json(nullptr)},
            {"registered_devices", registered},
            {"phones", phones},
            {"clock_offset", world.clockOffset},
            {"xcode", world.xcode ? json(*world.xcode) : json(nullptr)},
            {"timing", world.timing},
            {"next_build",
             {{"outcome", world.nextBuild.outcome},
              {"flood", world.nextBuild.flood},
              {"payload", world.nextBuild.payload},
              {"slow", world.nextBuild.slow}}},
            {"next_install_slow", world.nextInstallSlow},
            {"next_install_refusal", world.nextInstallRefusal},
            {"next_launch_fail", world.nextLaunchFail},
            {"next_list_noisy", world.nextListNoisy},
            {"downloaded_profiles", world.downloadedProfiles},
            {"installs", installs},
            {"launches", launches}};
}

WorldState worldFrom(const json& value) {
    WorldState world;
    if (value.contains("team") && value["team"].is_object()) {
        world.team = teamFrom(value["team"]);
    }
    for (const json& device : value.value("registered_devices", json::array())) {
        world.registeredDevices.push_back({device.value("udid", ""), device.value("name", "")});
    }
    for (const json& phone : value.value("phones", json::array())) {
        world.phones.push_back(phoneFrom(phone));
    }
    world.clockOffset = value.value("clock_offset", 0.0);
    if (value.contains("xcode")) {
        world.xcode = value["xcode"].is_string() ? std::optional(value["xcode"].get<std::string>())
                                                 : std::nullopt;
    }
    world.timing = value.value("timing", world.timing);
    json next = value.value("next_build", json::object());
    world.nextBuild = {next.value("outcome", ""), next.value("flood", std::uint64_t{0}),
                       next.value("payload", std::uint64_t{0}), next.value("slow", 0.0)};
    world.nextInstallSlow = value.value("next_install_slow", 0.0);
    world.nextInstallRefusal = value.value("next_install_refusal", "");
    world.nextLaunchFail = value.value("next_launch_fail", false);
    world.nextListNoisy = value.value("next_list_noisy", false);
    world.downloadedProfiles =
        value.value("downloaded_profiles", std::vector<std::string>{});
    for (const json& install : value.value("installs", json::array())) {
        world.installs.push_back({install.value("udid", ""), install.value("bundle_id", ""),
                                  install.value("name", ""), install.value("version", ""),
                                  install.value("build", ""), install.value("installed_at", 0.0),
                                  install.value("profile_expires", 0.0)});
    }
    for (const json& launch : value.value("launches", json::array())) {
        world.launches.push_back({launch.value("udid", ""), launch.value("bundle_id", ""),
                                  launch.value("pid", 0), launch.value("launched_at", 0.0)});
    }
    return world;
}

fs::path worldFile() {
    return World::directory() / "world.json";
}

WorldState readUnlocked() {
    std::string text;
    try {
        text = readFile(worldFile());
    } catch (const std::system_error& error) {
        if (error.code() == std::errc::no_such_file_or_directory) {
            return WorldState{};
        }
        throw;
    }
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded() || !value.is_object()) {
        throw ToolFailure("apple-sim: the simulated world in " + worldFile().string() +
                          " is damaged; remove " + World::directory().string() +
                          " to start over");
    }
    return worldFrom(value);
}

} // namespace

namespace World {

fs::path directory() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        throw ToolFailure("apple-sim: HOME is not set; each simulated Mac lives in its HOME");
    }
    return fs::path(home) / ".apple-sim";
}

fs::path ensureDirectory() {
    fs::path path = directory();
    makeDirectories(path, 0700);
    return path;
}

fs::path lockPath() {
    return directory() / "world.lock";
}

WorldState read() {
    return readUnlocked();
}

WorldState update(const std::function<void(WorldState&)>& change) {
    ensureDirectory();
    FileLock lock(lockPath(), FileLock::Mode::exclusive);
    WorldState world = readUnlocked();
    change(world);
    writeFileAtomically(worldFile(), toJSON(world).dump(1) + "\n");
    return world;
}

} // namespace World

nlohmann::json phoneJSON(const Phone& phone) {
    json value = toJSON(phone);
    value["locked"] = phone.lockedAt(realNow());
    value["unlock_at"] = phone.locked && phone.unlockAt > 0 ? json(isoDate(phone.unlockAt)) : json();
    return value;
}

nlohmann::json teamJSON(const Team& team, double now) {
    json identities = json::array();
    for (const Identity& identity : team.identities) {
        identities.push_back({{"kind", identity.kind},
                              {"name", identity.name},
                              {"sha1", identity.sha1},
                              {"expires", isoDate(identity.notAfter)},
                              {"valid", identity.notBefore <= now && now < identity.notAfter}});
    }
    return {{"id", team.id},
            {"name", team.name},
            {"developer", team.developer},
            {"enterprise", team.enterprise},
            {"identities", identities}};
}

} // namespace AppleSim

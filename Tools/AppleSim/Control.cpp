// apple-sim, the control command: sets up and inspects the simulated world of this Mac.
// Every subcommand prints one JSON object.
#include "Tools.hpp"

#include "DeviceModels.hpp"
#include "Failure.hpp"
#include "Identities.hpp"
#include "Agents.hpp"
#include "Options.hpp"
#include "Processes.hpp"
#include "World.hpp"
#include "Xcode.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>
#include <iostream>

namespace AppleSim {

using nlohmann::json;

namespace {

using Arguments = std::vector<std::string>;

// The team the sample project signs with, so that a fresh Mac can build it.
constexpr const char* defaultTeam = "ZUQSIMTEAM";

struct Subcommand {
    const char* name;
    const char* usage;
    json (*run)(const Arguments& arguments, const Subcommand& self);
};

// Whether every character of `text` is in `allowed` and its length is within the bounds.
bool made(const std::string& text, const char* allowed, std::size_t shortest, std::size_t longest) {
    return text.size() >= shortest && text.size() <= longest &&
           text.find_first_not_of(allowed) == std::string::npos;
}

constexpr const char* upperAndDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr const char* udidCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-";

// "18", "18.1" or "18.1.2".
bool osVersion(const std::string& text) {
    std::size_t dots = static_cast<std::size_t>(std::count(text.begin(), text.end(), '.'));
    return made(text, "0123456789.", 1, 16) && dots <= 2 && text.front() != '.' &&
           text.back() != '.' && text.find("..") == std::string::npos;
}

[[noreturn]] void usage(const Subcommand& command, const std::string& problem = "") {
    throw UsageFailure((problem.empty() ? "" : problem + ". ") + "Usage: apple-sim " +
                       command.usage);
}

ParsedOptions options(const Arguments& arguments, const Subcommand& command,
                      const std::set<std::string>& valued, const std::set<std::string>& flags,
                      std::size_t positional) {
    ParsedOptions parsed;
    try {
        parsed = parseOptions(arguments, valued, flags);
    } catch (const OptionError& error) {
        usage(command, error.what());
    }
    if (parsed.positional.size() != positional) {
        usage(command);
    }
    return parsed;
}

std::string oneOf(const ParsedOptions& parsed, const std::string& option,
                  const std::vector<std::string>& allowed, const std::string& fallback,
                  const Subcommand& command) {
    std::string value = parsed.value(option).value_or(fallback);
    if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
        usage(command, option + " must be one of " + joinWords(allowed) + ", not '" + value + "'");
    }
    return value;
}

json setup(const Arguments& arguments, const Subcommand& self) {
    ParsedOptions parsed = options(arguments, self, {"--team", "--team-name", "--developer"},
                                   {"--enterprise"}, 0);
    std::optional<std::string> teamID = parsed.value("--team");
    if (teamID && !made(*teamID, upperAndDigits, 10, 10)) {
        usage(self, "--team takes 10 upper-case letters and digits, as Apple's team identifiers");
    }
    bool created = false;
    bool renewed = false;
    WorldState world = World::update([&](WorldState& state) {
        double now = state.now();
        if (state.team) {
            Team& team = *state.team;
            if ((teamID && *teamID != team.id) ||
                (parsed.flag("--enterprise") && !team.enterprise)) {
                throw ToolFailure("This Mac is already set up for team " + team.id +
                                  (team.enterprise ? " (enterprise)" : "") + "; remove " +
                                  World::directory().string() + " to start over");
            }
            for (Identity& identity : team.identities) {
                if (now >= identity.notAfter) {
                    identity = Identities::create(team, identity.kind, now);
                    renewed = true;
                }
            }
            return;
        }
        Team team;
        team.id = teamID.value_or(defaultTeam);
        team.name = parsed.value("--team-name").value_or("Simulated Team");
        team.developer = parsed.value("--developer").value_or("Simulated Developer");
        team.memberID = Identities::randomIdentifier();
        team.enterprise = parsed.flag("--enterprise");
        team.identities.push_back(Identities::create(team, "development", now));
        team.identities.push_back(Identities::create(team, "distribution", now));
        state.team = team;
        created = true;
    });
    return {{"team", teamJSON(*world.team, world.now())}, {"created", created}, {"renewed", renewed}};
}

json attachPhone(const Arguments& arguments, const Subcommand& self) {
    ParsedOptions parsed =
        options(arguments, self,
                {"--udid", "--name", "--os", "--type", "--model", "--developer-mode", "--tunnel",
                 "--transport", "--pairing", "--form"},
                {"--simulator", "--locked"}, 0);
    Phone phone;
    phone.udid = parsed.value("--udid").value_or("");
    if (!made(phone.udid, udidCharacters, 1, 64)) {
        usage(self, "--udid takes the device's UDID (letters, digits and hyphens)");
    }
    phone.type = oneOf(parsed, "--type", {"iPhone", "iPad", "watch", "tv"}, "iPhone", self);
    phone.name = parsed.value("--name").value_or(phone.type == "iPhone" ? "iPhone" : phone.type);
    phone.os = parsed.value("--os").value_or(phone.os);
    if (!osVersion(phone.os)) {
        usage(self, "--os takes a version such as 18.1");
    }
    phone.model = parsed.value("--model").value_or(defaultProductType(phone.type));
    phone.developerMode =
        oneOf(parsed, "--developer-mode", {"on", "off"}, "on", self) == "on";
    // devicectl reports only these three tunnel states.
    phone.tunnel = oneOf(parsed, "--tunnel", {"connected", "disconnected", "unavailable"},
                         phone.tunnel, self);
    phone.transport = oneOf(parsed, "--transport", {"wired", "localNetwork"}, phone.transport, self);
    phone.pairing = oneOf(parsed, "--pairing", {"paired", "unpaired"}, phone.pairing, self);
    phone.form = oneOf(parsed, "--form", {"flat", "nested"}, "flat", self);
    phone.simulator = parsed.flag("--simulator");
    phone.locked = parsed.flag("--locked");
    phone.identifier = Crypto::nameUUID("coredevice:" + phone.udid);
    World::update([&](WorldState& world) {
        if (Phone* existing = world.phone(phone.udid)) {
            *existing = phone;
        } else {
            world.phones.push_back(phone);
        }
    });
    return {{"phone", phoneJSON(phone)}};
}

// lock-phone U [--unlock-after SECONDS] and unlock-phone U: the phone's screen lock, as its
// owner would use it.
json setLock(const Arguments& arguments, const Subcommand& self, bool lock) {
    ParsedOptions parsed =
        options(arguments, self, lock ? std::set<std::string>{"--unlock-after"} : std::set<std::string>{},
                {}, 1);
    std::optional<double> after;
    if (std::optional<std::string> text = parsed.value("--unlock-after")) {
        after = parseNumber(*text);
        if (!after) {
            usage(self, "--unlock-after takes a number of seconds");
        }
    }
    const std::string& udid = parsed.positional[0];
    Phone changed;
    World::update([&](WorldState& world) {
        Phone* phone = world.phone(udid);
        if (!phone) {
            throw ToolFailure("No phone with UDID " + udid + " is attached to this Mac");
        }
        phone->locked = lock;
        phone->unlockAt = lock && after ? realNow() + *after : 0;
        changed = *phone;
    });
    return {{"phone", phoneJSON(changed)}};
}

json lockPhone(const Arguments& arguments, const Subcommand& self) {
    return setLock(arguments, self, true);
}

json unlockPhone(const Arguments& arguments, const Subcommand& self) {
    return setLock(arguments, self, false);
}

json detachPhone(const Arguments& arguments, const Subcommand& self) {
    ParsedOptions parsed = options(arguments, self, {"--udid"}, {}, arguments.size() == 1 ? 1 : 0);
    std::string udid =
        parsed.positional.empty() ? parsed.value("--udid").value_or("") : parsed.positional[0];
    if (udid.empty()) {
        usage(self);
    }
    World::update([&](WorldState& world) {
        auto found = std::find_if(world.phones.begin(), world.phones.end(),
                                  [&](const Phone& phone) { return phone.udid == udid; });
        if (found == world.phones.end()) {
            throw ToolFailure("No phone with UDID " + udid + " is attached to this Mac");
        }
        world.phones.erase(found);
    });
    return {{"detached", udid}};
}

json registeredJSON(const WorldState& world) {
    json list = json::array();
    for (const RegisteredDevice& device : world.registeredDevices) {
        list.push_back({{"udid", device.udid}, {"name", device.name}});
    }
    return list;
}

json registerDevice(const Arguments& arguments, const Subcommand& self) {
    ParsedOptions parsed = options(arguments, self, {"--name"}, {}, 1);
    std::string udid = parsed.positional[0];
    if (!made(udid, udidCharacters, 1, 64)) {
        usage(self, "a UDID holds letters, digits and hyphens");
    }
    WorldState world = World::update([&](WorldState& state) {
        if (!state.team) {
            throw ToolFailure("This Mac has no team yet; run apple-sim setup first");
        }
        std::string name = parsed.value("--name").value_or("Device " + udid.substr(0, 8));
        for (RegisteredDevice& device : state.registeredDevices) {
            if (device.udid == udid) {
                device.name = parsed.value("--name").value_or(device.name);
                return;
            }
        }
        state.registeredDevices.push_back({udid, name});
    });
    return {{"registered_devices", registeredJSON(world)}};
}

json clockJSON(const WorldState& world) {
    return {{"offset_days", world.clockOffset / 86400.0}, {"now", isoDate(world.now())}};
}

json clock(const Arguments& arguments, const Subcommand& self) {
    if (arguments.size() == 1 && arguments[0] == "reset") {
        return {{"clock", clockJSON(World::update([](WorldState& world) { world.clockOffset = 0; }))}};
    }
    if (arguments.size() != 2 || arguments[0] != "advance") {
        usage(self);
    }
    std::optional<double> days = parseNumber(arguments[1]);
    if (!days) {
        usage(self, "DAYS is a number of days, such as 366 or 0.5");
    }
    WorldState world =
        World::update([&](WorldState& state) { state.clockOffset += *days * 86400.0; });
    return {{"clock", clockJSON(world)}};
}

json xcodeJSON(const WorldState& world) {
    if (!world.xcode) {
        return nullptr;
    }
    return {{"version", *world.xcode}, {"build", Xcode::buildNumber(*world.xcode)}};
}

json xcode(const Arguments& arguments, const Subcommand& self) {
    if (arguments.size() == 1 && arguments[0] == "remove") {
        return {{"xcode", xcodeJSON(World::update([](WorldState& world) { world.xcode.reset(); }))}};
    }
    if (arguments.size() != 2 || arguments[0] != "set" || !Xcode::validVersion(arguments[1])) {
        usage(self);
    }
    WorldState world = World::update([&](WorldState& state) { state.xcode = arguments[1]; });
    return {{"xcode", xcodeJSON(world)}};
}

json timing(const Arguments& arguments, const Subcommand& self) {
    if (arguments.size() != 1 || (arguments[0] != "instant" && arguments[0] != "realistic")) {
        usage(self);
    }
    WorldState world = World::update([&](WorldState& state) { state.timing = arguments[0]; });
    return {{"timing", world.timing}};
}

json nextBuildJSON(const NextBuild& next) {
    return {{"outcome", next.outcome.empty() ? json(nullptr) : json(next.outcome)},
            {"flood", next.flood},
            {"payload", next.payload},
            {"slow", next.slow}};
}

json nextBuild(const Arguments& arguments, const Subcommand& self) {
    if (arguments.empty()) {
        usage(self);
    }
    const std::string& kind = arguments[0];
    bool outcome = kind == "fail" || kind == "hang" || kind == "hang-ignoring-term";
    bool valued = kind == "flood" || kind == "payload" || kind == "slow";
    if (!(outcome || valued || kind == "none") || arguments.size() != (valued ? 2u : 1u)) {
        usage(self);
    }
    std::optional<std::uint64_t> size;
    std::optional<double> seconds;
    if (kind == "flood" || kind == "payload") {
        size = parseSize(arguments[1]);
        if (!size) {
            usage(self, "SIZE is a byte count with an optional K, M or G suffix, such as 300M");
        }
    } else if (kind == "slow") {
        seconds = parseNumber(arguments[1]);
        if (!seconds) {
            usage(self, "SECONDS is a number of seconds");
        }
    }
    WorldState world = World::update([&](WorldState& state) {
        NextBuild& next = state.nextBuild;
        if (kind == "none") {
            next = NextBuild{};
        } else if (outcome) {
            next.outcome = kind;
        } else if (kind == "flood") {
            next.flood = *size;
        } else if (kind == "payload") {
            next.payload = *size;
        } else {
            next.slow = *seconds;
        }
    });
    return {{"next_build", nextBuildJSON(world.nextBuild)}};
}

json nextInstallJSON(const WorldState& world) {
    return {{"slow", world.nextInstallSlow},
            {"refusal", world.nextInstallRefusal.empty() ? json() : json(world.nextInstallRefusal)}};
}

json nextInstall(const Arguments& arguments, const Subcommand& self) {
    std::optional<double> seconds;
    std::optional<std::string> refusal;
    if (arguments.size() == 2 && arguments[0] == "slow") {
        seconds = parseNumber(arguments[1]);
        if (!seconds) {
            usage(self, "SECONDS is a number of seconds");
        }
    } else if (arguments.size() == 1 && (arguments[0] == "busy" || arguments[0] == "no-space")) {
        refusal = arguments[0];
    } else if (!(arguments.size() == 1 && arguments[0] == "none")) {
        usage(self);
    }
    WorldState world = World::update([&](WorldState& state) {
        if (seconds) {
            state.nextInstallSlow = *seconds;
        } else if (refusal) {
            state.nextInstallRefusal = *refusal;
        } else {
            state.nextInstallSlow = 0;
            state.nextInstallRefusal.clear();
        }
    });
    return {{"next_install", nextInstallJSON(world)}};
}

json nextList(const Arguments& arguments, const Subcommand& self) {
    if (arguments.size() != 1 || (arguments[0] != "noisy" && arguments[0] != "none")) {
        usage(self);
    }
    WorldState world =
        World::update([&](WorldState& state) { state.nextListNoisy = arguments[0] == "noisy"; });
    return {{"next_list", {{"noisy", world.nextListNoisy}}}};
}

json nextLaunch(const Arguments& arguments, const Subcommand& self) {
    if (arguments.size() != 1 || (arguments[0] != "fail" && arguments[0] != "none")) {
        usage(self);
    }
    WorldState world =
        World::update([&](WorldState& state) { state.nextLaunchFail = arguments[0] == "fail"; });
    return {{"next_launch", {{"fail", world.nextLaunchFail}}}};
}

json status(const Arguments& arguments, const Subcommand& self) {
    options(arguments, self, {}, {}, 0);
    WorldState world = World::read();
    json phones = json::array();
    for (const Phone& phone : world.phones) {
        phones.push_back(phoneJSON(phone));
    }
    json installs = json::array();
    for (const Install& install : world.installs) {
        installs.push_back({{"udid", install.udid},
                            {"bundle_id", install.bundleID},
                            {"name", install.name},
                            {"version", install.version},
                            {"build", install.build},
                            {"installed_at", isoDate(install.installedAt)}});
    }
    json launches = json::array();
    for (const Launch& launch : world.launches) {
        launches.push_back({{"udid", launch.udid},
                            {"bundle_id", launch.bundleID},
                            {"pid", launch.pid},
                            {"launched_at", isoDate(launch.launchedAt)}});
    }
    json agents = json::array();
    for (const Agents::Agent& agent : Agents::all()) {
        agents.push_back(Agents::toJSON(agent));
    }
    json processes = json::array();
    for (const Processes::Record& record : Processes::running()) {
        processes.push_back({{"pid", record.pid}, {"role", record.role}});
    }
    return {{"world", World::directory().string()},
            {"team", world.team ? teamJSON(*world.team, world.now()) : json(nullptr)},
            {"registered_devices", registeredJSON(world)},
            {"xcode", xcodeJSON(world)},
            {"timing", world.timing},
            {"clock", clockJSON(world)},
            {"phones", phones},
            {"installs", installs},
            {"launches", launches},
            {"agents", agents},
            {"processes", processes},
            {"next_build", nextBuildJSON(world.nextBuild)},
            {"next_install", nextInstallJSON(world)},
            {"next_launch", {{"fail", world.nextLaunchFail}}},
            {"next_list", {{"noisy", world.nextListNoisy}}}};
}

// Ends what the simulator started on this Mac: every login agent (booted out as launchctl
// does) and every process it recorded (SIGTERM, then SIGKILL for those that ignore it).
json stopAll(const Arguments& arguments, const Subcommand& self) {
    options(arguments, self, {}, {}, 0);
    json stopped = json::array();
    for (const Agents::Agent& agent : Agents::all()) {
        stopped.push_back({{"label", agent.label}, {"pid", Agents::stop(agent.label)}});
    }
    std::vector<Processes::Record> running = Processes::running();
    for (const Processes::Record& record : running) {
        Processes::signal(record, SIGTERM);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const Processes::Record& record : running) {
        while (Processes::alive(record) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Processes::signal(record, SIGKILL);
        Processes::forget(record.pid);
        stopped.push_back({{"role", record.role}, {"pid", record.pid}});
    }
    return {{"stopped", stopped}};
}

const Subcommand subcommands[] = {
    {"setup", "setup [--team ID] [--team-name NAME] [--developer NAME] [--enterprise]", setup},
    {"attach-phone",
     "attach-phone --udid U [--name N] [--os 18.1] [--type iPhone|iPad|watch|tv] [--simulator] "
     "[--model iPhone16,1] [--developer-mode on|off] [--tunnel disconnected|connected|unavailable] "
     "[--transport wired|localNetwork] [--pairing paired|unpaired] [--locked] [--form flat|nested]",
     attachPhone},
    {"lock-phone", "lock-phone UDID [--unlock-after SECONDS]", lockPhone},
    {"unlock-phone", "unlock-phone UDID", unlockPhone},
    {"detach-phone", "detach-phone UDID", detachPhone},
    {"register-device", "register-device UDID [--name NAME]", registerDevice},
    {"clock", "clock advance DAYS | clock reset", clock},
    {"xcode", "xcode set VERSION | xcode remove", xcode},
    {"next-build",
     "next-build fail|hang|hang-ignoring-term|flood SIZE|payload SIZE|slow SECONDS|none",
     nextBuild},
    {"next-install", "next-install slow SECONDS|busy|no-space|none", nextInstall},
    {"next-list", "next-list noisy|none", nextList},
    {"next-launch", "next-launch fail|none", nextLaunch},
    {"timing", "timing instant|realistic", timing},
    {"status", "status", status},
    {"stop-all", "stop-all", stopAll},
};

} // namespace

int control(const Arguments& arguments) {
    if (arguments.empty() || arguments[0] == "help" || arguments[0] == "--help") {
        json lines = json::array();
        for (const Subcommand& command : subcommands) {
            lines.push_back(std::string("apple-sim ") + command.usage);
        }
        if (arguments.empty()) {
            throw UsageFailure("Usage: apple-sim SUBCOMMAND ...; apple-sim help lists them");
        }
        std::cout << json{{"usage", lines}}.dump(2) << "\n";
        return 0;
    }
    for (const Subcommand& command : subcommands) {
        if (arguments[0] == command.name) {
            json result = command.run({arguments.begin() + 1, arguments.end()}, command);
            std::cout << result.dump(2) << "\n";
            return 0;
        }
    }
    throw UsageFailure("Unknown subcommand '" + arguments[0] + "'; apple-sim help lists them");
}

} // namespace AppleSim

// The simulated world of one Mac: its signing team, the devices registered with the team, the
// phones attached, what was installed and launched, the simulated clock, the selected Xcode and
// what the next build, install or launch should do. It lives in $HOME/.apple-sim/world.json.
//
// Any number of tools may run at once (a build and a heartbeat's device listing): readers see
// a whole file because changes replace it atomically, and every change is a read-modify-write
// under an exclusive lock on world.lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace AppleSim {

struct Phone {
    std::string udid;
    std::string name;
    std::string os = "18.1";
    std::string type = "iPhone"; // iPhone, iPad, watch, tv
    std::string model;           // product type, e.g. iPhone16,1
    // devicectl's tunnelState: "disconnected" is how a paired phone idles (the tool opens the
    // tunnel itself when a command needs it), "connected" while a tunnel is open, and
    // "unavailable" when the phone cannot be reached.
    std::string tunnel = "disconnected";
    std::string transport = "wired"; // wired (USB) or localNetwork (Wi-Fi)
    std::string pairing = "paired";  // paired or unpaired
    std::string form = "flat";       // how devicectl lists it: flat or nested
    std::string identifier;          // the CoreDevice identifier, a UUID derived from the UDID
    bool simulator = false;
    bool developerMode = true;
    bool locked = false;
    double unlockAt = 0;           // real time at which a locked phone unlocks itself; 0: never
    bool diskImageMounted = false; // the developer disk image, mounted by the first command

    /// Whether devicectl can reach it: paired and not unavailable.
    bool reachable() const { return pairing == "paired" && tunnel != "unavailable"; }
    /// Whether it is locked at real time `now`.
    bool lockedAt(double now) const { return locked && (unlockAt == 0 || now < unlockAt); }
};

/// A signing identity of the team: its certificate lives in team/<kind>.cert.pem.
struct Identity {
    std::string kind; // development or distribution
    std::string name; // the certificate's common name, e.g. "Apple Development: ..."
    std::string sha1; // upper-case hex of the certificate's SHA-1
    double notBefore = 0;
    double notAfter = 0;
};

struct Team {
    std::string id;
    std::string name;
    std::string developer;
    std::string memberID;
    bool enterprise = false;
    std::vector<Identity> identities;

    const Identity* identity(const std::string& kind) const;
};

struct RegisteredDevice {
    std::string udid;
    std::string name;
};

struct Install {
    std::string udid;
    std::string bundleID;
    std::string name;
    std::string version;
    std::string build;
    double installedAt = 0;
    double profileExpires = 0;
};

struct Launch {
    std::string udid;
    std::string bundleID;
    int pid = 0;
    double launchedAt = 0;
};

/// What the next archive does; consumed whole by that archive.
struct NextBuild {
    std::string outcome; // "", fail, hang, hang-ignoring-term
    std::uint64_t flood = 0;
    std::uint64_t payload = 0;
    double slow = 0;
    bool empty() const { return outcome.empty() && flood == 0 && payload == 0 && slow == 0; }
};

struct WorldState {
    std::optional<Team> team;
    std::vector<RegisteredDevice> registeredDevices;
    std::vector<Phone> phones;
    double clockOffset = 0; // seconds added to the real clock
    std::optional<std::string> xcode = std::string("16.4");
    std::string timing = "instant";
    NextBuild nextBuild;
    double nextInstallSlow = 0;
    std::string nextInstallRefusal; // "", busy or no-space: how the next install fails
    bool nextLaunchFail = false;
    bool nextListNoisy = false; // the next xcodebuild -list prints a status line beside its JSON
    /// "<kind>:<bundle id>" of every profile Xcode has downloaded on this Mac.
    std::vector<std::string> downloadedProfiles;
    std::vector<Install> installs;
    std::vector<Launch> launches;

    Phone* phone(const std::string& udid);
    bool registered(const std::string& udid) const;
    bool realistic() const { return timing == "realistic"; }
    /// The simulated time, seconds since 1970.
    double now() const;
};

namespace World {

/// $HOME/.apple-sim. Throws ToolFailure when HOME is not set.
std::filesystem::path directory();

/// The world as it is now; the default world when nothing was ever written.
WorldState read();

/// Runs `change` on the current world under the exclusive lock and writes the result.
/// The world directory is created (0700) when missing. `change` may throw to write nothing.
WorldState update(const std::function<void(WorldState&)>& change);

/// Creates the world directory when missing and returns it.
std::filesystem::path ensureDirectory();

/// The path of the lock every change takes.
std::filesystem::path lockPath();

} // namespace World

/// "2025-05-01T12:00:00Z" for seconds since 1970.
std::string isoDate(double seconds);

/// The real clock, seconds since 1970.
double realNow();

nlohmann::json phoneJSON(const Phone& phone);
nlohmann::json teamJSON(const Team& team, double now);

} // namespace AppleSim

// The iPhones and iPads attached to this Mac, as Xcode's device tool reports them, and the
// installs and launches done on them with that tool.
#pragma once

#include "JSON.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

/// Lists attached devices and reduces each usable one to a phone record: a JSON object with
/// exactly "udid", "core_id", "name", "model", "product_type", "os", "state",
/// "developer_mode", "available" and "transport". Installs and launches apps on them, reading
/// why the tool refused from its JSON output. Nothing is cached; every call asks the tool
/// afresh, each with its own temporary file, so concurrent calls are safe.
namespace Devices {

/// Runs `xcrun devicectl list devices` into a temporary file (always removed) and parses it.
/// The tool's failures and the file's read or decode errors are thrown.
std::vector<JSON> list(std::stop_token stop = {});

/// The phone records of a device tool document, in its order: physical iPhones and iPads with
/// a udid only. "state" is the tool's own word for the connection ("connected",
/// "disconnected", "unavailable"); a device is available when it is paired (or says nothing
/// of pairing), developer mode is on and its state is known and not "unavailable": the tool
/// opens a tunnel to a "disconnected" phone itself. Never throws; a document without
/// "result" → "devices" gives none.
std::vector<JSON> parse(const JSON& document);

/// The record of the device `udid` when it is listed and available; otherwise throws "The
/// selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable Developer Mode, and
/// unlock it.".
JSON require(std::string_view udid, std::stop_token stop = {});

/// Why the device tool refused an install or a launch, read from the "error" member of its
/// JSON output: an NSError (domain, code, user info with descriptions), wrapping the errors
/// beneath it.
struct Refusal {
    /// The innermost description the tool gave: the phone's own account of the problem.
    std::string description;
    /// For the common cases, one sentence saying what is wrong and what to do; else empty.
    std::string advice;
    /// The device was locked or busy: the same request may succeed a little later.
    bool passing = false;
};

/// The refusal in a document of the device tool, or nothing when it holds no "error" object.
std::optional<Refusal> refusal(const JSON& document);

/// How long an install or a launch keeps trying while the device is locked or busy, and how
/// long it waits between tries.
struct Patience {
    std::chrono::seconds bound{120};
    std::chrono::seconds interval{2};
};

/// Receives a text for the person at the device (the phone must be unlocked); never throws.
using Notice = std::function<void(const std::string&)>;

/// Installs the app bundle at `app` on the device `udid` with `devicectl device install app`
/// (time-out 600 seconds), its transcript going to `log`, registered under `job`. While the
/// tool says the device is locked or busy it tries again, telling `notice` once why, for up to
/// `patience.bound`. A refusal throws ZUQError: the advice for the common cases, or "Installing
/// the app on the device failed: <innermost description>", then "devicectl: <innermost
/// description>" for the former, then the process runner's message with the tool's own words
/// and the log's path. Without a readable refusal the process runner's error passes through.
void install(std::string_view udid, const std::filesystem::path& app,
             const std::filesystem::path& log, const std::string& job, std::stop_token stop,
             const Notice& notice, Patience patience = {});

/// Launches the installed app `bundleID` on the device `udid` with `devicectl device process
/// launch --terminate-existing` (time-out 90 seconds), the identifier after "--" so that no
/// identifier can be read as an option. Tries again while the device is locked, and reports
/// refusals, as `install` does.
void launch(std::string_view udid, const std::string& bundleID,
            const std::filesystem::path& log, const std::string& job, std::stop_token stop,
            const Notice& notice, Patience patience = {});

} // namespace Devices

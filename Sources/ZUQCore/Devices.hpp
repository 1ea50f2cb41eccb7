// The iPhones and iPads attached to this Mac, as Xcode's device tool reports them.
#pragma once

#include "JSON.hpp"

#include <stop_token>
#include <string_view>
#include <vector>

/// Lists attached devices and reduces each usable one to a phone record: a JSON object with
/// exactly "udid", "core_id", "name", "model", "product_type", "os", "state",
/// "developer_mode", "available" and "transport". Nothing is cached; every call asks the tool
/// afresh, each with its own temporary file, so concurrent calls are safe.
namespace Devices {

/// Runs `xcrun devicectl list devices` into a temporary file (always removed) and parses it.
/// The tool's failures and the file's read or decode errors are thrown.
std::vector<JSON> list(std::stop_token stop = {});

/// The phone records of a device tool document, in its order: physical iPhones and iPads with
/// a udid only. Never throws; a document without "result" → "devices" gives none.
std::vector<JSON> parse(const JSON& document);

/// The record of the device `udid` when it is listed and available; otherwise throws "The
/// selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable Developer Mode, and
/// unlock it.".
JSON require(std::string_view udid, std::stop_token stop = {});

} // namespace Devices

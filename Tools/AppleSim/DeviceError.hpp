// How devicectl reports a failure: a Foundation NSError (domain, code, a description, more
// texts in its user info) wrapping the error beneath it, down to the phone's own. The same
// error is printed for people on standard error and written into the --json-output document.
#pragma once

#include "Failure.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace AppleSim {

struct DeviceError {
    std::string domain;
    std::int64_t code = 0;
    std::string description; // NSLocalizedDescription
    /// Further user-info texts, in the order devicectl prints them (NSLocalizedFailureReason,
    /// FunctionName, LegacyErrorString, DeviceIdentifier, ...).
    std::vector<std::pair<std::string, std::string>> details;
    std::string url; // NSURL, when the error is about a file
    std::shared_ptr<const DeviceError> underlying;

    /// This error with `inner` as its NSUnderlyingError.
    DeviceError wrapping(DeviceError inner) const;
};

/// A devicectl command's failure: the error in devicectl's layout as the text main prints,
/// exit status 1.
class DeviceFailure : public ToolFailure {
public:
    explicit DeviceFailure(DeviceError error);
    const DeviceError& error() const { return error_; }

private:
    DeviceError error_;
};

/// The error as devicectl prints it: "ERROR: <description> (<domain> error <code> (0x<hex>))",
/// its details indented below, then each underlying error after a line of dashes.
std::string devicectlText(const DeviceError& error);

/// The error as the "error" member of devicectl's JSON document.
nlohmann::json devicectlJSON(const DeviceError& error);

// The errors the simulated tool uses in more than one place.
namespace DeviceErrors {

/// com.apple.dt.CoreDeviceError, devicectl's own domain.
DeviceError coreDevice(std::int64_t code, std::string description);

/// The phone is locked and the developer disk image cannot be mounted.
DeviceError locked(const std::string& device);

} // namespace DeviceErrors

} // namespace AppleSim

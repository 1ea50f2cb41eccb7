#include "DeviceError.hpp"

#include <cstdio>

namespace AppleSim {

using nlohmann::json;

namespace {

const char* separator =
    "--------------------------------------------------------------------------------";

// "0x0D", "0xBBA", "0xE80000E2": at least two upper-case digits, a negative code as the 32-bit
// value it is.
std::string hex(std::int64_t code) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%02llX",
                  static_cast<unsigned long long>(code < 0 ? static_cast<std::uint32_t>(code)
                                                           : static_cast<std::uint64_t>(code)));
    return text;
}

} // namespace

DeviceError DeviceError::wrapping(DeviceError inner) const {
    DeviceError outer = *this;
    outer.underlying = std::make_shared<const DeviceError>(std::move(inner));
    return outer;
}

DeviceFailure::DeviceFailure(DeviceError error)
    : ToolFailure(devicectlText(error)), error_(std::move(error)) {}

std::string devicectlText(const DeviceError& error) {
    std::string text;
    for (const DeviceError* level = &error; level; level = level->underlying.get()) {
        if (!text.empty()) {
            text += std::string(separator) + "\n";
        }
        text += "ERROR: " + level->description + " (" + level->domain + " error " +
                std::to_string(level->code) + " (" + hex(level->code) + "))\n";
        if (!level->url.empty()) {
            text += "       NSURL = " + level->url + "\n";
        }
        for (const auto& [key, value] : level->details) {
            text += "       " + key + " = " + value + "\n";
        }
    }
    return text;
}

json devicectlJSON(const DeviceError& error) {
    json userInfo = {{"NSLocalizedDescription", {{"string", error.description}}}};
    for (const auto& [key, value] : error.details) {
        userInfo[key] = {{"string", value}};
    }
    if (!error.url.empty()) {
        userInfo["NSURL"] = {{"url", error.url}};
    }
    if (error.underlying) {
        userInfo["NSUnderlyingError"] = {{"error", devicectlJSON(*error.underlying)}};
    }
    return {{"code", error.code}, {"domain", error.domain}, {"userInfo", userInfo}};
}

namespace DeviceErrors {

DeviceError coreDevice(std::int64_t code, std::string description) {
    return {"com.apple.dt.CoreDeviceError", code, std::move(description), {}, {}, nullptr};
}

DeviceError locked(const std::string& device) {
    DeviceError mount{"com.apple.mobiledevice",
                      -402652958,
                      "Failed to mount /private/var/tmp/CoreDevice_DDI_Staging_501/" + device +
                          "/Restore/022-16019-313.dmg: 0xe80000e2 "
                          "(kAMDMobileImageMounterDeviceLocked: The device is locked.)",
                      {{"FunctionName", "-[PersonalizedImage mountRemoteImage:serverTicket:"
                                        "imageDigest:trustCacheURL:error:]"},
                       {"LineNumber", "2068"}},
                      {},
                      nullptr};
    return coreDevice(12040, "The developer disk image could not be mounted on this device.")
        .wrapping(std::move(mount));
}

} // namespace DeviceErrors

} // namespace AppleSim

// What the simulator knows about Apple's device models: the product type a type of device
// gets by default and the marketing name and hardware model of known product types.
#pragma once

#include <optional>
#include <string>

namespace AppleSim {

struct DeviceModel {
    std::string productType;   // iPhone16,1
    std::string marketingName; // iPhone 15 Pro
    std::string hardwareModel; // D83AP
};

/// The model of a known product type; nothing for one the simulator does not know.
std::optional<DeviceModel> knownModel(const std::string& productType);

/// The product type a device of `type` (iPhone, iPad, watch, tv) gets when none is given.
std::string defaultProductType(const std::string& type);

/// devicectl's name of the device type: iPhone, iPad, appleWatch, appleTV.
std::string deviceTypeName(const std::string& type);

/// The operating system's platform name: iOS, watchOS, tvOS.
std::string platformName(const std::string& type);

} // namespace AppleSim

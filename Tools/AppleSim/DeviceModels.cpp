#include "DeviceModels.hpp"

#include <array>

namespace AppleSim {

namespace {

const std::array<DeviceModel, 14> models = {{
    {"iPhone14,5", "iPhone 13", "D17AP"},
    {"iPhone14,7", "iPhone 14", "D27AP"},
    {"iPhone15,2", "iPhone 14 Pro", "D73AP"},
    {"iPhone15,4", "iPhone 15", "D37AP"},
    {"iPhone16,1", "iPhone 15 Pro", "D83AP"},
    {"iPhone16,2", "iPhone 15 Pro Max", "D84AP"},
    {"iPhone17,1", "iPhone 16 Pro", "D93AP"},
    {"iPhone17,3", "iPhone 16", "D47AP"},
    {"iPad14,1", "iPad mini (6th generation)", "J310AP"},
    {"iPad13,18", "iPad (10th generation)", "J271AP"},
    {"iPad16,3", "iPad Pro 11-inch (M4)", "J717AP"},
    {"Watch7,1", "Apple Watch Series 9", "N207aAP"},
    {"Watch7,5", "Apple Watch Ultra 2", "N210AP"},
    {"AppleTV14,1", "Apple TV 4K (3rd generation)", "J255AP"},
}};

} // namespace

std::optional<DeviceModel> knownModel(const std::string& productType) {
    for (const DeviceModel& model : models) {
        if (model.productType == productType) {
            return model;
        }
    }
    return std::nullopt;
}

std::string defaultProductType(const std::string& type) {
    if (type == "iPad") {
        return "iPad14,1";
    }
    if (type == "watch") {
        return "Watch7,1";
    }
    if (type == "tv") {
        return "AppleTV14,1";
    }
    return "iPhone16,1";
}

std::string deviceTypeName(const std::string& type) {
    if (type == "watch") {
        return "appleWatch";
    }
    if (type == "tv") {
        return "appleTV";
    }
    return type;
}

std::string platformName(const std::string& type) {
    if (type == "watch") {
        return "watchOS";
    }
    if (type == "tv") {
        return "tvOS";
    }
    return "iOS";
}

} // namespace AppleSim

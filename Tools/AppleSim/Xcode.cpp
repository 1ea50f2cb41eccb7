#include "Xcode.hpp"

#include "Failure.hpp"
#include "World.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace AppleSim::Xcode {

namespace {

struct Release {
    const char* version;
    const char* build;
    const char* sdk;
};

const std::array<Release, 12> releases = {{
    {"14.3.1", "14E300c", "16.4"},
    {"15.0", "15A240d", "17.0"},
    {"15.2", "15C500b", "17.2"},
    {"15.3", "15E204a", "17.4"},
    {"15.4", "15F31d", "17.5"},
    {"16.0", "16A242d", "18.0"},
    {"16.1", "16B40", "18.1"},
    {"16.2", "16C5032a", "18.2"},
    {"16.3", "16E140", "18.4"},
    {"16.4", "16F6", "18.5"},
    {"26.0", "17A324", "26.0"},
    {"26.1", "17B55", "26.1"},
}};

std::pair<int, int> majorMinor(const std::string& version) {
    int major = std::atoi(version.c_str());
    std::size_t dot = version.find('.');
    int minor = dot == std::string::npos ? 0 : std::atoi(version.c_str() + dot + 1);
    return {major, minor};
}

std::string normalized(const std::string& version) {
    return version.find('.') == std::string::npos ? version + ".0" : version;
}

} // namespace

bool validVersion(const std::string& version) {
    if (version.empty() || version.size() > 12 || version.front() == '.' ||
        version.back() == '.') {
        return false;
    }
    int dots = 0;
    for (char c : version) {
        if (c == '.') {
            ++dots;
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    return dots <= 2 && version.find("..") == std::string::npos;
}

std::string buildNumber(const std::string& version) {
    for (const Release& release : releases) {
        if (normalized(version) == release.version) {
            return release.build;
        }
    }
    auto [major, minor] = majorMinor(version);
    // Xcode 26 and later build as 17, 18, ...
    int train = major >= 26 ? major - 9 : major;
    return std::to_string(train) + static_cast<char>('A' + minor % 26) + "100";
}

int newestObjectVersion(const std::string& version) {
    auto [major, minor] = majorMinor(version);
    if (major >= 16) {
        return 77;
    }
    if (major == 15) {
        return minor >= 3 ? 63 : 60;
    }
    if (major == 14) {
        return 56;
    }
    if (major == 13) {
        return 55;
    }
    if (major == 12) {
        return 54;
    }
    if (major == 11) {
        return minor >= 4 ? 53 : 52;
    }
    if (major == 10) {
        return 51;
    }
    if (major == 9) {
        return minor >= 3 ? 50 : 48;
    }
    return 48;
}

std::string sdkVersion(const std::string& version) {
    for (const Release& release : releases) {
        if (normalized(version) == release.version) {
            return release.sdk;
        }
    }
    // Until Xcode 26, Xcode N.m shipped iOS (N+2).m, give or take a point release.
    auto [major, minor] = majorMinor(version);
    return std::to_string(major >= 26 ? major : major + 2) + "." + std::to_string(minor);
}

std::string dtXcode(const std::string& version) {
    auto [major, minor] = majorMinor(version);
    char text[16];
    std::snprintf(text, sizeof text, "%02d%d0", major, minor);
    return text;
}

bool atLeast(const std::string& version, int major, int minor) {
    auto [have, haveMinor] = majorMinor(version);
    return have > major || (have == major && haveMinor >= minor);
}

std::string require(const WorldState& world, const std::string& tool) {
    if (!world.xcode) {
        throw ToolFailure("xcode-select: error: tool '" + tool +
                          "' requires Xcode, but active developer directory "
                          "'/Library/Developer/CommandLineTools' is a command line tools instance");
    }
    return *world.xcode;
}

} // namespace AppleSim::Xcode

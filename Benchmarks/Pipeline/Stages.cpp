// What the benchmark runs in child processes, so that each figure is one process's own: a
// whole build or install as an agent runs it, or one stage of it alone.
#include "Stages.hpp"

#include "ArtifactCrypto.hpp"
#include "BuildPipeline.hpp"
#include "Platform/File.hpp"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

JSON usage(int who) {
    rusage used{};
    ::getrusage(who, &used);
    return JSON::object({{"user", seconds(used.ru_utime)},
                         {"system", seconds(used.ru_stime)},
                         {"peak_mib", static_cast<double>(used.ru_maxrss) / 1024.0}});
}

} // namespace

namespace Stages {

int pipeline(const std::string& side, const fs::path& credentialsFile, const fs::path& claimFile) {
    Credentials credentials = Credentials::decode(Platform::readFile(credentialsFile));
    JSON claim = JSON::decode(Platform::readFile(claimFile));
    API api(credentials);
    JSON::Array events;
    auto record = [&](const std::string& text) {
        events.push_back(JSON::object({{"text", text}, {"time", now()}}));
    };
    double start = now();
    if (side == "build") {
        BuildPipeline::build(claim["job"], claim["lease"].text(), credentials, api, record);
    } else {
        BuildPipeline::install(claim["job"], claim["lease"].text(), credentials, api, record);
    }
    double end = now();
    std::cout << JSON::object({{"start", start},
                               {"end", end},
                               {"events", events},
                               {"self", usage(RUSAGE_SELF)},
                               {"tools", usage(RUSAGE_CHILDREN)}})
                     .data()
              << '\n';
    return 0;
}

int stage(const std::vector<std::string>& arguments) {
    const std::string& name = arguments.at(0);
    auto api = [&] {
        return API(Credentials::decode(Platform::readFile(arguments.at(1))));
    };
    if (name == "sha256") {
        std::cout << ArtifactCrypto::sha256(arguments.at(1)) << '\n';
    } else if (name == "package") {
        JSON manifest = JSON::object({{"ipa_sha256", arguments.at(3)}});
        ArtifactCrypto::package(arguments.at(1), manifest, arguments.at(2));
    } else if (name == "encrypt") {
        ArtifactCrypto::encrypt(arguments.at(1), arguments.at(2), arguments.at(3), arguments.at(4));
    } else if (name == "decrypt") {
        ArtifactCrypto::decrypt(arguments.at(1), arguments.at(2), arguments.at(3), arguments.at(4));
    } else if (name == "unpack") {
        ArtifactCrypto::unpack(arguments.at(1), arguments.at(2));
    } else if (name == "upload") {
        api().upload(arguments.at(2), arguments.at(3), arguments.at(4));
    } else if (name == "download") {
        api().download(arguments.at(2), arguments.at(3), arguments.at(4), arguments.at(5));
    } else {
        std::cerr << "unknown stage " << name << '\n';
        return 2;
    }
    return 0;
}

} // namespace Stages

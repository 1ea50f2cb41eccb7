#include "BuildPipeline.hpp"

#include "ArtifactCrypto.hpp"
#include "BuildPipeline/Files.hpp"
#include "Devices.hpp"

namespace fs = std::filesystem;

namespace BuildPipeline {

void install(const JSON& job, const std::string& lease, const Credentials& credentials,
             const API& api, const Event& event, std::stop_token stop,
             const UnpackLimits& limits) {
    JobRecord record = JobRecord::read(job);
    const std::string& id = record.id;
    requireJobIdentifier(id);
    if (record.receiverID != credentials.deviceID) {
        throw ZUQError("Job is addressed to another Mac");
    }
    const std::string& udid = record.wanted.udid;
    if (!record.wanted.mode) {
        throw ZUQError("Unsupported deployment mode");
    }
    DeploymentMode mode = *record.wanted.mode;
    Devices::require(udid, stop);

    fs::path receive = Paths::directory("Jobs/" + id + "/Receive");
    fs::path log = receive / "install.log";
    event("Downloading and decrypting build");
    Temporaries temporaries(receive, {"Build.zuq", "Build.zuqpkg", "App.ipa", "Extracted"});

    api.download(id, lease, receive / "Build.zuq", record.artifactSHA, stop);
    ArtifactCrypto::decrypt(receive / "Build.zuq", receive / "Build.zuqpkg",
                            credentials.encryptionKey, id);
    BuildManifest manifest = BuildManifest::read(
        ArtifactCrypto::unpack(receive / "Build.zuqpkg", receive / "App.ipa"));
    if (!manifest.matches(id, credentials.deviceID, udid, mode)) {
        throw ZUQError("Encrypted manifest does not match this deployment");
    }
    const std::string& bundleID = manifest.bundleID;

    fs::path app = extractIPA(receive / "App.ipa", receive / "Extracted", log, id, stop, limits);
    PhoneRecord phone = PhoneRecord::read(Devices::require(udid, stop));
    JSON summary = validateApp(app, udid, mode, phone.os, log, id, stop);
    if (summary["bundle_id"].text() != bundleID) {
        throw ZUQError("App bundle ID does not match the encrypted manifest");
    }

    assertActive(api, id, "installing");
    event("Installing on " + phone.name + ". Keep the device unlocked.");
    Devices::install(udid, app, log, id, stop, event);
    assertActive(api, id, "installing");

    event("Launching " + bundleID);
    Devices::launch(udid, bundleID, log, id, stop, event);
    api.finish(id, lease);
}

} // namespace BuildPipeline

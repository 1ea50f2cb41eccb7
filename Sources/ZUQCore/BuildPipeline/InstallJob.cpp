#include "BuildPipeline.hpp"

#include "ArtifactCrypto.hpp"
#include "BuildPipeline/Files.hpp"
#include "Devices.hpp"

namespace fs = std::filesystem;

namespace BuildPipeline {

void install(const JSON& job, const std::string& lease, const Credentials& credentials,
             const API& api, const Event& event, std::stop_token stop,
             const UnpackLimits& limits) {
    std::string id = job["id"].text();
    const JSON& wanted = job["spec"];
    requireJobIdentifier(id);
    if (job["receiver_id"].text() != credentials.deviceID) {
        throw ZUQError("Job is addressed to another Mac");
    }
    std::string udid = wanted["udid"].text();
    std::string mode = wanted["mode"].text();
    Devices::require(udid, stop);

    fs::path receive = Paths::directory("Jobs/" + id + "/Receive");
    fs::path log = receive / "install.log";
    event("Downloading and decrypting build");
    Temporaries temporaries(receive, {"Build.zuq", "Build.zuqpkg", "App.ipa", "Extracted"});

    api.download(id, lease, receive / "Build.zuq", job["artifact_sha"].text(), stop);
    ArtifactCrypto::decrypt(receive / "Build.zuq", receive / "Build.zuqpkg",
                            credentials.encryptionKey, id);
    JSON manifest = ArtifactCrypto::unpack(receive / "Build.zuqpkg", receive / "App.ipa");
    if (manifest["job_id"].text() != id || manifest["receiver_id"].text() != credentials.deviceID ||
        manifest["udid"].text() != udid || manifest["mode"].text() != mode) {
        throw ZUQError("Encrypted manifest does not match this deployment");
    }
    const std::string& bundleID = manifest["bundle_id"].text();

    fs::path app = extractIPA(receive / "App.ipa", receive / "Extracted", log, id, stop, limits);
    JSON phone = Devices::require(udid, stop);
    JSON summary = validateApp(app, udid, mode, phone["os"].text(), log, id, stop);
    if (summary["bundle_id"].text() != bundleID) {
        throw ZUQError("App bundle ID does not match the encrypted manifest");
    }

    assertActive(api, id, "installing");
    event("Installing on " + phone["name"].text() + ". Keep the device unlocked.");
    Devices::install(udid, app, log, id, stop, event);
    assertActive(api, id, "installing");

    event("Launching " + bundleID);
    Devices::launch(udid, bundleID, log, id, stop, event);
    api.finish(id, lease);
}

} // namespace BuildPipeline

#include "BuildPipeline.hpp"

#include "ArtifactCrypto.hpp"
#include "BuildPipeline/Files.hpp"
#include "ProcessRunner.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace fs = std::filesystem;
using ProcessRunner::Failure;

namespace BuildPipeline {

namespace {

constexpr int uploadAttempts = 4;
constexpr std::chrono::seconds uploadRetryDelay{5};

const Project& registeredProject(const std::vector<Project>& projects, const std::string& id) {
    for (const Project& project : projects) {
        if (project.id == id) {
            return project;
        }
    }
    throw ZUQError("Project is no longer registered on this Mac");
}

// Waits `delay` unless a stop is requested first, which throws CancellationError.
void pause(std::chrono::seconds delay, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    wakeUp.wait_for(lock, stop, delay, [] { return false; });
    if (stop.stop_requested()) {
        throw CancellationError();
    }
}

void uploadWithRetries(const API& api, const std::string& id, const std::string& lease,
                       const fs::path& file, std::stop_token stop) {
    for (int attempt = 1;; ++attempt) {
        try {
            api.upload(id, lease, file, stop);
            return;
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception&) {
            if (attempt == uploadAttempts) {
                throw;
            }
        }
        pause(uploadRetryDelay, stop);
    }
}

} // namespace

void assertActive(const API& api, const std::string& id, std::string_view state) {
    std::string current = api.job(id)["state"].text();
    if (current != state) {
        throw ZUQError("Job stopped: " + current);
    }
}

void build(const JSON& job, const std::string& lease, const Credentials& credentials,
           const API& api, const Event& event, std::stop_token stop) {
    JobRecord record = JobRecord::read(job);
    const std::string& id = record.id;
    const JobSpec& wanted = record.wanted;
    requireJobIdentifier(id);
    std::vector<Project> projects = ProjectStore::load();
    const Project& project = registeredProject(projects, wanted.projectID);
    if (!wanted.mode) {
        throw ZUQError("Unsupported deployment mode");
    }
    DeploymentMode mode = *wanted.mode;
    const std::string& configuration = wanted.configuration;

    fs::path work = Paths::directory("Jobs/" + id);
    fs::path log = work / "build.log";
    Temporaries temporaries(work, {"Build.zuqpkg", "Build.zuq", "Validation", "DerivedData"});

    Paths::atomicWrite(Platform::PropertyList(exportOptions(project, mode)).xml(),
                       work / "ExportOptions.plist");

    event("Archiving " + project.name + " \u00B7 " + configuration);
    ProcessRunner::run("/usr/bin/xcrun",
                       archiveArguments(project, wanted.scheme, configuration, work),
                       fs::path(project.path).parent_path(), log, 7200, id, Failure::raised,
                       stop);
    assertActive(api, id, "building");

    event(std::string("Exporting ") + (mode == DeploymentMode::adhoc ? "Ad Hoc" : "Debug") + " build");
    // An export left by an earlier attempt at this job would be taken for this one's.
    removeQuietly(work, {"Export"});
    ProcessRunner::run("/usr/bin/xcrun", exportArguments(project, work), std::nullopt, log, 1800,
                       id, Failure::raised, stop);
    std::vector<fs::path> ipas = entriesWithExtension(work / "Export", ".ipa");
    if (ipas.size() != 1) {
        throw ZUQError("Expected exactly one exported IPA");
    }
    const fs::path& ipa = ipas.front();

    event("Checking signature, device provisioning, and APNs environment");
    fs::path app = extractIPA(ipa, work / "Validation", log, id, stop);
    BuildManifest manifest = BuildManifest::read(
        validateApp(app, wanted.udid, mode, wanted.phone ? wanted.phone->os : "", log, id, stop));
    manifest.jobID = id;
    manifest.receiverID = record.receiverID;
    manifest.udid = wanted.udid;
    manifest.mode = text(mode);
    manifest.ipaSHA256 = ArtifactCrypto::sha256(ipa);

    event("Encrypting build for your group");
    ArtifactCrypto::package(ipa, manifest.json(), work / "Build.zuqpkg");
    ArtifactCrypto::encrypt(work / "Build.zuqpkg", work / "Build.zuq", credentials.encryptionKey,
                            id);
    assertActive(api, id, "building");

    event("Uploading encrypted build");
    uploadWithRetries(api, id, lease, work / "Build.zuq", stop);
    api.finishBuild(id, lease, manifest.json());
}

} // namespace BuildPipeline

// The documents that travel between Macs through the relay, each with its JSON form in one
// place: the deployment mode, the job record and what it asks for, and the build manifest.
// Reading is lenient, as clients have always read relay documents: a missing or mistyped
// member reads as empty (or as nothing, for the enums), and the caller decides whether that
// is an error.
#pragma once

#include "JSON.hpp"
#include "Protocol.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

/// How a build is signed and exported: a release build for testers ("adhoc") or a
/// development-signed one ("debug").
enum class DeploymentMode { adhoc, debug };

/// "adhoc" or "debug".
std::string_view text(DeploymentMode mode) noexcept;
/// The mode a text names exactly, or nothing.
std::optional<DeploymentMode> deploymentMode(std::string_view text) noexcept;

/// One iPhone or iPad attached to a Mac, as its agent reports it and a job keeps it in what it asks for.
/// Members the device tool did not give are null in the JSON form.
struct PhoneRecord {
    std::optional<std::string> udid;        // "udid"
    std::optional<std::string> coreID;      // "core_id": the tool's own identifier
    std::string name;                       // "name"
    std::optional<std::string> model;       // "model": the marketing name
    std::optional<std::string> productType; // "product_type"
    std::string os;                         // "os": the iOS version
    std::string state;                      // "state": the tool's word for its connection
    bool developerMode = false;             // "developer_mode"
    bool available = false;                 // "available": it can take an install now
    std::string transport;                  // "transport": "wired", "localNetwork" or ""

    static PhoneRecord read(const JSON& phone);
    /// The ten members.
    JSON json() const;
};

/// What a job asks for: its "spec". The relay stores the submission's members with the
/// receiver's phone record as it was reported when the job was submitted.
struct JobSpec {
    std::string projectID;                // "project_id"
    std::string scheme;                   // "scheme"
    std::string configuration;            // "configuration"
    std::optional<DeploymentMode> mode;   // "mode"
    std::string udid;                     // "udid"
    std::optional<PhoneRecord> phone;     // "phone": as reported when the job was submitted

    /// The members a submission sends, in the order the relay lists them.
    static constexpr std::array<std::string_view, 7> submissionMembers = {
        "builder_id", "receiver_id", "project_id", "scheme", "configuration", "mode", "udid"};

    static JobSpec read(const JSON& members);
};

/// One job as the relay reports it.
struct JobRecord {
    std::string id;                           // "id"
    std::optional<Protocol::JobState> state;  // "state"
    std::string stateText;                    // "state" as sent, for messages
    std::string error;                        // "error"
    JobSpec wanted;                           // "spec"
    std::string builderID;                    // "builder_id"
    std::string receiverID;                   // "receiver_id"
    std::string artifactSHA;                  // "artifact_sha"

    static JobRecord read(const JSON& job);
};

/// What travels inside an encrypted build and in the finish-build report: the app's summary
/// from validation and the deployment it was made for, which the receiver compares with its
/// own job before installing.
struct BuildManifest {
    std::string bundleID;       // "bundle_id"
    std::string version;        // "version"
    std::string build;          // "build"
    std::string minimumOS;      // "minimum_os"
    std::string apsEnvironment; // "aps_environment"
    std::string jobID;          // "job_id"
    std::string receiverID;     // "receiver_id"
    std::string udid;           // "udid"
    std::string mode;           // "mode", as written: compared exactly with the job's
    std::string ipaSHA256;      // "ipa_sha256"

    static BuildManifest read(const JSON& manifest);
    /// The ten members, all texts.
    JSON json() const;
    /// Whether it names this job, Mac, phone and mode, exactly.
    bool matches(const std::string& job, const std::string& receiver, const std::string& phone,
                 DeploymentMode wanted) const;
};

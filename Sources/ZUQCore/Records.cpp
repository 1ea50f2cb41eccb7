#include "Records.hpp"

namespace {

constexpr std::array<std::string_view, 2> modeTexts = {"adhoc", "debug"};

} // namespace

std::string_view text(DeploymentMode mode) noexcept {
    return modeTexts[static_cast<std::size_t>(mode)];
}

std::optional<DeploymentMode> deploymentMode(std::string_view text) noexcept {
    for (std::size_t index = 0; index < modeTexts.size(); ++index) {
        if (modeTexts[index] == text) {
            return static_cast<DeploymentMode>(index);
        }
    }
    return std::nullopt;
}

PhoneRecord PhoneRecord::read(const JSON& phone) {
    return {phone["udid"].string(),
            phone["core_id"].string(),
            phone["name"].text(),
            phone["model"].string(),
            phone["product_type"].string(),
            phone["os"].text(),
            phone["state"].text(),
            phone["developer_mode"].flag(),
            phone["available"].flag(),
            phone["transport"].text()};
}

JSON PhoneRecord::json() const {
    auto optional = [](const std::optional<std::string>& text) {
        return text ? JSON(*text) : JSON();
    };
    return JSON::object({
        {"udid", optional(udid)},
        {"core_id", optional(coreID)},
        {"name", name},
        {"model", optional(model)},
        {"product_type", optional(productType)},
        {"os", os},
        {"state", state},
        {"developer_mode", developerMode},
        {"available", available},
        {"transport", transport},
    });
}

JobSpec JobSpec::read(const JSON& members) {
    const JSON& phone = members["phone"];
    return {members["project_id"].text(),
            members["scheme"].text(),
            members["configuration"].text(),
            deploymentMode(members["mode"].text()),
            members["udid"].text(),
            phone.kind() == JSON::Kind::object ? std::optional(PhoneRecord::read(phone))
                                               : std::nullopt};
}

JobRecord JobRecord::read(const JSON& job) {
    const std::string& state = job["state"].text();
    return {job["id"].text(),
            Protocol::jobState(state),
            state,
            job["error"].text(),
            JobSpec::read(job["spec"]),
            job["builder_id"].text(),
            job["receiver_id"].text(),
            job["artifact_sha"].text()};
}

BuildManifest BuildManifest::read(const JSON& manifest) {
    return {manifest["bundle_id"].text(),  manifest["version"].text(),
            manifest["build"].text(),      manifest["minimum_os"].text(),
            manifest["aps_environment"].text(), manifest["job_id"].text(),
            manifest["receiver_id"].text(), manifest["udid"].text(),
            manifest["mode"].text(),       manifest["ipa_sha256"].text()};
}

JSON BuildManifest::json() const {
    return JSON::object({
        {"bundle_id", bundleID},
        {"version", version},
        {"build", build},
        {"minimum_os", minimumOS},
        {"aps_environment", apsEnvironment},
        {"job_id", jobID},
        {"receiver_id", receiverID},
        {"udid", udid},
        {"mode", mode},
        {"ipa_sha256", ipaSHA256},
    });
}

bool BuildManifest::matches(const std::string& job, const std::string& receiver,
                            const std::string& phone, DeploymentMode wanted) const {
    return jobID == job && receiverID == receiver && udid == phone && mode == text(wanted);
}

// The work the pipeline benchmark measures, each run as a process of its own.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Stages {

/// Runs BuildPipeline::build ("build") or install ("install") for the claim in `claimFile`
/// ({"job", "lease"}) as the Mac in `credentialsFile`, with HOME, ZUQ_STATE_DIR and
/// ZUQ_TOOLS_DIR as the caller set them. Prints one JSON line: "start", "end", every event with
/// its "time" (seconds since 1970), and the resources of this process ("self") and of the tools
/// it ran ("tools"): "user", "system", "peak_mib".
int pipeline(const std::string& side, const std::filesystem::path& credentialsFile,
             const std::filesystem::path& claimFile);

/// One stage alone: "sha256 FILE", "package IPA OUT SHA", "encrypt IN OUT KEY JOB",
/// "decrypt IN OUT KEY JOB", "unpack PACKAGE IPA", "upload CREDENTIALS JOB LEASE FILE",
/// "download CREDENTIALS JOB LEASE OUT SHA".
int stage(const std::vector<std::string>& arguments);

} // namespace Stages

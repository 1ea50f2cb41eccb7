// An advisory lock between processes, held on a file for the life of a value.
#pragma once

#include "Platform/File.hpp"

#include <filesystem>

namespace Platform {

/// An exclusive flock on `path` (created 0600 when missing, never removed), taken when the
/// value is built and released when it is destroyed, or by the system when the process dies.
/// Waits as long as another holder keeps it. Each value opens the file itself, so two values
/// exclude each other even within one process. Move-only; not shared between threads.
class FileLock {
public:
    /// Throws "Cannot open <path>: ..." when the file cannot be opened or created, and
    /// "Cannot lock <path>: ..." when the system refuses the lock; nothing stays open then.
    explicit FileLock(const std::filesystem::path& path);
    FileLock(FileLock&&) noexcept = default;
    FileLock& operator=(FileLock&&) noexcept = default;
    ~FileLock();

private:
    FileDescriptor descriptor_;
};

} // namespace Platform

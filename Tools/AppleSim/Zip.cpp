#include "Zip.hpp"

#include "Files.hpp"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <zip.h>

namespace AppleSim::Zip {

namespace fs = std::filesystem;

namespace {

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct FileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// Regular files above this size are stored rather than deflated: at that size they are media
// or generated blobs, and compressing them would only slow the export.
constexpr std::uint64_t storeAbove = 8u << 20;

void add(zip_t* archive, const fs::path& path, const std::string& name) {
    struct stat status{};
    if (::lstat(path.c_str(), &status) != 0) {
        throwErrno("Cannot read", path);
    }
    std::uint32_t attributes = static_cast<std::uint32_t>(status.st_mode) << 16;
    if (S_ISDIR(status.st_mode)) {
        zip_int64_t index = zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            throw Error(std::string("Cannot add ") + name + ": " + zip_strerror(archive));
        }
        zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                          ZIP_OPSYS_UNIX, attributes);
        std::vector<fs::path> children;
        for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
            children.push_back(entry.path());
        }
        std::sort(children.begin(), children.end());
        for (const fs::path& child : children) {
            add(archive, child, name + child.filename().string() + (fs::is_directory(fs::symlink_status(child)) ? "/" : ""));
        }
        return;
    }
    zip_source_t* source = nullptr;
    std::string target;
    if (S_ISLNK(status.st_mode)) {
        target = fs::read_symlink(path).string();
        char* copy = static_cast<char*>(std::malloc(target.size() + 1));
        std::copy(target.begin(), target.end(), copy);
        source = zip_source_buffer(archive, copy, target.size(), 1);
    } else {
        source = zip_source_file(archive, path.c_str(), 0, -1);
    }
    if (!source) {
        throw Error(std::string("Cannot read ") + path.string() + ": " + zip_strerror(archive));
    }
    zip_int64_t index = zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        throw Error(std::string("Cannot add ") + name + ": " + zip_strerror(archive));
    }
    zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                      ZIP_OPSYS_UNIX, attributes);
    bool store = S_ISLNK(status.st_mode) || static_cast<std::uint64_t>(status.st_size) > storeAbove;
    zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                             store ? ZIP_CM_STORE : ZIP_CM_DEFLATE, 0);
}

// Whether an entry name stays inside the destination.
bool safe(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) {
        return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        std::string piece = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (piece == "..") {
            return false;
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return true;
}

} // namespace

void write(const fs::path& directory, const std::string& top, const fs::path& zip) {
    fs::path temporary = zip;
    temporary += ".partial";
    fs::remove(temporary);
    int error = 0;
    Archive archive(zip_open(temporary.c_str(), ZIP_CREATE | ZIP_EXCL, &error));
    if (!archive) {
        zip_error_t description;
        zip_error_init_with_code(&description, error);
        std::string message = zip_error_strerror(&description);
        zip_error_fini(&description);
        throw Error("Cannot create " + zip.string() + ": " + message);
    }
    add(archive.get(), directory, top + "/");
    if (zip_close(archive.get()) != 0) {
        std::string message = zip_strerror(archive.get());
        fs::remove(temporary);
        throw Error("Cannot write " + zip.string() + ": " + message);
    }
    archive.release();
    fs::rename(temporary, zip);
}

void extract(const fs::path& zip, const fs::path& destination) {
    int error = 0;
    Archive archive(zip_open(zip.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!archive) {
        if (error == ZIP_ER_NOENT || error == ZIP_ER_OPEN) {
            throw Error("ditto: " + zip.string() + ": No such file or directory");
        }
        throw Error("ditto: Couldn't read PKZip signature");
    }
    makeDirectories(destination);
    zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t index = 0; index < count; ++index) {
        zip_stat_t entry;
        zip_stat_init(&entry);
        if (zip_stat_index(archive.get(), static_cast<zip_uint64_t>(index), 0, &entry) != 0) {
            throw Error(std::string("ditto: ") + zip_strerror(archive.get()));
        }
        std::string name = entry.name;
        if (!safe(name)) {
            throw Error("ditto: " + name + ": the entry would be written outside " +
                        destination.string());
        }
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive.get(), static_cast<zip_uint64_t>(index), 0,
                                         &system, &attributes);
        mode_t mode = system == ZIP_OPSYS_UNIX ? static_cast<mode_t>(attributes >> 16) : 0;
        fs::path target = destination / name;
        if (!name.empty() && name.back() == '/') {
            makeDirectories(target);
            continue;
        }
        makeDirectories(target.parent_path());
        std::unique_ptr<zip_file_t, FileCloser> file(
            zip_fopen_index(archive.get(), static_cast<zip_uint64_t>(index), 0));
        if (!file) {
            throw Error(std::string("ditto: ") + name + ": " + zip_strerror(archive.get()));
        }
        std::string content;
        char buffer[65536];
        zip_int64_t read;
        FileDescriptor output;
        bool link = S_ISLNK(mode);
        if (!link) {
            ::unlink(target.c_str());
            output = openFile(target, O_WRONLY | O_CREAT | O_TRUNC,
                              (mode & 0777) ? (mode & 0777) : 0644);
        }
        while ((read = zip_fread(file.get(), buffer, sizeof buffer)) > 0) {
            if (link) {
                content.append(buffer, static_cast<std::size_t>(read));
            } else {
                writeAll(output.get(), std::string_view(buffer, static_cast<std::size_t>(read)),
                         target);
            }
        }
        if (read < 0) {
            throw Error("ditto: " + name + ": " + zip_file_strerror(file.get()));
        }
        if (link) {
            ::unlink(target.c_str());
            if (::symlink(content.c_str(), target.c_str()) != 0) {
                throwErrno("Cannot create link", target);
            }
        }
    }
}

} // namespace AppleSim::Zip

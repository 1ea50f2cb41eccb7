#include "CodeSignature.hpp"

#include "Files.hpp"
#include "Identities.hpp"
#include "PropertyList.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <unistd.h>

namespace AppleSim::CodeSignature {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::uint32_t superBlobMagic = 0xfade0cc0;
constexpr std::uint32_t codeDirectoryMagic = 0xfade0c02;
constexpr std::uint32_t requirementsMagic = 0xfade0c01;
constexpr std::uint32_t entitlementsMagic = 0xfade7171;
constexpr std::uint32_t cmsMagic = 0xfade0b01;
constexpr std::uint32_t machOMagic = 0xfeedfacf;
constexpr std::uint32_t loadCodeSignature = 0x1d;
constexpr std::size_t headerSize = 48; // mach_header_64 and one linkedit_data_command
constexpr std::size_t codeDirectoryHeader = 52;
constexpr std::size_t pageSize = 4096;
constexpr std::size_t specialSlots = 5;
// Slot numbers of the special hashes.
constexpr std::size_t infoSlot = 1, requirementsSlot = 2, resourcesSlot = 3, entitlementsSlot = 5;
const std::set<std::string> nestedExtensions = {".app", ".appex", ".framework"};

void putBig(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xff);
    }
}

void putLittle(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((value >> shift) & 0xff);
    }
}

std::optional<std::uint32_t> big(std::string_view bytes, std::size_t offset) {
    if (offset + 4 > bytes.size() || offset + 4 < offset) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < 4; ++index) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + index]);
    }
    return value;
}

std::optional<std::uint32_t> little(std::string_view bytes, std::size_t offset) {
    if (offset + 4 > bytes.size()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (std::size_t index = 4; index-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + index]);
    }
    return value;
}

std::string blob(std::uint32_t magic, std::string_view payload) {
    std::string out;
    putBig(out, magic);
    putBig(out, static_cast<std::uint32_t>(payload.size() + 8));
    out += payload;
    return out;
}

// The parts of a signed executable.
struct Parsed {
    std::string_view code; // every byte before the signature, the Mach-O header included
    std::string codeDirectory;
    std::string requirements;
    std::string entitlements; // the whole blob
    std::string cms;
};

// The code of an executable: what follows our Mach-O header if it has one, else all of it.
std::string_view body(std::string_view file) {
    if (little(file, 0) == machOMagic && little(file, 32) == loadCodeSignature) {
        std::optional<std::uint32_t> offset = little(file, 40);
        if (offset && *offset >= headerSize && *offset <= file.size()) {
            return file.substr(headerSize, *offset - headerSize);
        }
    }
    return file;
}

std::optional<Parsed> parse(std::string_view file, std::string& problem) {
    if (little(file, 0) != machOMagic) {
        problem = "code object is not signed at all";
        return std::nullopt;
    }
    std::optional<std::uint32_t> command = little(file, 32);
    std::optional<std::uint32_t> offset = little(file, 40);
    std::optional<std::uint32_t> size = little(file, 44);
    if (command != loadCodeSignature || !offset || !size) {
        problem = "code object is not signed at all";
        return std::nullopt;
    }
    problem = "invalid signature (code or signature have been modified)";
    if (*offset < headerSize || std::size_t{*offset} + *size > file.size()) {
        return std::nullopt;
    }
    std::string_view signature = file.substr(*offset, *size);
    std::optional<std::uint32_t> count = big(signature, 8);
    if (big(signature, 0) != superBlobMagic || !count || *count > 16) {
        return std::nullopt;
    }
    Parsed parsed;
    parsed.code = file.substr(0, *offset);
    for (std::uint32_t index = 0; index < *count; ++index) {
        std::optional<std::uint32_t> type = big(signature, 12 + index * 8);
        std::optional<std::uint32_t> at = big(signature, 16 + index * 8);
        std::optional<std::uint32_t> length = at ? big(signature, *at + 4) : std::nullopt;
        if (!type || !length || *length < 8 || std::size_t{*at} + *length > signature.size()) {
            return std::nullopt;
        }
        std::string whole(signature.substr(*at, *length));
        std::uint32_t magic = *big(whole, 0);
        if (*type == 0 && magic == codeDirectoryMagic) {
            parsed.codeDirectory = whole;
        } else if (*type == 2 && magic == requirementsMagic) {
            parsed.requirements = whole;
        } else if (*type == 5 && magic == entitlementsMagic) {
            parsed.entitlements = whole;
        } else if (*type == 0x10000 && magic == cmsMagic) {
            parsed.cms = whole.substr(8);
        }
    }
    if (parsed.codeDirectory.size() < codeDirectoryHeader || parsed.cms.empty()) {
        return std::nullopt;
    }
    return parsed;
}

std::string cString(std::string_view bytes, std::size_t offset) {
    if (offset >= bytes.size()) {
        return "";
    }
    std::size_t end = bytes.find('\0', offset);
    return std::string(bytes.substr(offset, end == std::string_view::npos ? std::string_view::npos
                                                                          : end - offset));
}

// A special slot's hash in a code directory, or nothing when out of bounds.
std::optional<std::string> specialHash(const std::string& directory, std::size_t slot) {
    std::optional<std::uint32_t> hashOffset = big(directory, 16);
    if (!hashOffset || *hashOffset < slot * 32 || *hashOffset > directory.size()) {
        return std::nullopt;
    }
    return directory.substr(*hashOffset - slot * 32, 32);
}

std::string codeDirectory(std::string_view code, const std::string& identifier,
                          const std::string& teamID, const std::string (&special)[specialSlots]) {
    std::size_t pages = (code.size() + pageSize - 1) / pageSize;
    std::size_t identOffset = codeDirectoryHeader;
    std::size_t teamOffset = identOffset + identifier.size() + 1;
    std::size_t hashOffset = teamOffset + teamID.size() + 1 + specialSlots * 32;
    std::string out;
    putBig(out, codeDirectoryMagic);
    putBig(out, static_cast<std::uint32_t>(hashOffset + pages * 32));
    putBig(out, 0x20400); // version
    putBig(out, 0);       // flags
    putBig(out, static_cast<std::uint32_t>(hashOffset));
    putBig(out, static_cast<std::uint32_t>(identOffset));
    putBig(out, specialSlots);
    putBig(out, static_cast<std::uint32_t>(pages));
    putBig(out, static_cast<std::uint32_t>(code.size()));
    out += static_cast<char>(32); // hash size
    out += static_cast<char>(2);  // SHA-256
    out += static_cast<char>(0);  // platform
    out += static_cast<char>(12); // log2 of the page size
    putBig(out, 0);               // spare
    putBig(out, 0);               // scatter offset
    putBig(out, static_cast<std::uint32_t>(teamOffset));
    out += identifier + '\0' + teamID + '\0';
    for (std::size_t slot = specialSlots; slot >= 1; --slot) {
        out += special[slot - 1];
    }
    for (std::size_t page = 0; page < pages; ++page) {
        out += Crypto::sha256(code.substr(page * pageSize, pageSize));
    }
    return out;
}

std::string readOrEmpty(const fs::path& path) {
    try {
        return readFile(path);
    } catch (const std::system_error&) {
        return "";
    }
}

// Every file of a bundle that its resource seal covers, by path relative to the bundle, and
// the nested bundles, which are sealed by their own signatures.
struct Contents {
    std::map<std::string, fs::path> files;
    std::map<std::string, fs::path> nested;
};

void collect(const fs::path& root, const fs::path& directory, const std::string& executable,
             Contents& contents) {
    std::error_code error;
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& path : entries) {
        std::string relative = path.lexically_relative(root).generic_string();
        if (relative == "_CodeSignature" || relative == "Info.plist" || relative == executable) {
            continue;
        }
        fs::file_status status = fs::symlink_status(path, error);
        if (fs::is_directory(status)) {
            if (nestedExtensions.count(path.extension().string())) {
                contents.nested[relative] = path;
            } else {
                collect(root, path, executable, contents);
            }
        } else {
            contents.files[relative] = path;
        }
    }
}

json seal(const fs::path& bundle, const std::string& executable) {
    Contents contents;
    collect(bundle, bundle, executable, contents);
    json files = json::object();
    json files2 = json::object();
    for (const auto& [relative, path] : contents.files) {
        if (fs::is_symlink(path)) {
            files2[relative] = {{"symlink", fs::read_symlink(path).string()}};
            continue;
        }
        std::string bytes = readFile(path);
        files[relative] = PropertyList::data(Crypto::sha1(bytes));
        files2[relative] = {{"hash", PropertyList::data(Crypto::sha1(bytes))},
                            {"hash2", PropertyList::data(Crypto::sha256(bytes))}};
    }
    for (const auto& [relative, path] : contents.nested) {
        std::string problem;
        std::optional<Info> nested = read(path, problem);
        if (!nested) {
            throw std::runtime_error(path.string() + ": " + problem +
                                     " (nested code must be signed first)");
        }
        files2[relative] = {{"cdhash", PropertyList::data(nested->cdhash)},
                            {"requirement", "identifier \"" + nested->identifier +
                                                "\" and anchor apple generic"}};
    }
    json rules = {{"^.*", true}, {"^.*\\.lproj/", {{"optional", true}, {"weight", 1000}}},
                  {"^Base\\.lproj/", {{"weight", 1010}}}, {"^version.plist$", true}};
    json rules2 = {{".*\\.dSYM($|/)", {{"weight", 11}}},
                   {"^(.*/)?\\.DS_Store$", {{"omit", true}, {"weight", 2000}}},
                   {"^.*", true},
                   {"^Info\\.plist$", {{"omit", true}, {"weight", 20}}},
                   {"^PkgInfo$", {{"omit", true}, {"weight", 20}}},
                   {"^embedded\\.provisionprofile$", {{"weight", 20}}},
                   {"^version\\.plist$", {{"weight", 20}}}};
    return {{"files", files}, {"files2", files2}, {"rules", rules}, {"rules2", rules2}};
}

std::string executableName(const fs::path& bundle, std::string& problem) {
    json info;
    try {
        info = PropertyList::read((bundle / "Info.plist").string());
    } catch (const PropertyList::Error&) {
        problem = "bundle format unrecognized, invalid, or unsuitable";
        return "";
    }
    std::string name = PropertyList::text(info, "CFBundleExecutable");
    if (name.empty() || !fs::exists(bundle / name)) {
        problem = "bundle format unrecognized, invalid, or unsuitable";
        return "";
    }
    return name;
}

std::optional<Info> readSignature(const fs::path& bundle, std::string& problem,
                                  std::string* executableBytes, Parsed* parsedOut) {
    std::string name = executableName(bundle, problem);
    if (name.empty()) {
        return std::nullopt;
    }
    std::string file = readFile(bundle / name);
    std::optional<Parsed> parsed = parse(file, problem);
    if (!parsed) {
        return std::nullopt;
    }
    std::string cmsProblem;
    std::optional<Crypto::Verified> verified =
        Crypto::verifyCMS(parsed->cms, parsed->codeDirectory, cmsProblem);
    if (!verified) {
        problem = cmsProblem.find("certificate verify") != std::string::npos
                      ? "CSSMERR_TP_NOT_TRUSTED"
                      : "invalid signature (code or signature have been modified)";
        return std::nullopt;
    }
    Info info;
    const std::string& directory = parsed->codeDirectory;
    info.identifier = cString(directory, big(directory, 20).value_or(0));
    info.teamID = cString(directory, big(directory, 48).value_or(0));
    info.cdhash = Crypto::sha256(directory).substr(0, 20);
    info.signer = std::move(verified->signer);
    info.executable = bundle / name;
    if (parsed->entitlements.size() > 8) {
        try {
            info.entitlements = PropertyList::parse(std::string_view(parsed->entitlements).substr(8));
        } catch (const PropertyList::Error&) {
            problem = "invalid entitlements blob";
            return std::nullopt;
        }
    }
    if (executableBytes) {
        *executableBytes = std::move(file);
        parsedOut->codeDirectory = parsed->codeDirectory;
        parsedOut->requirements = parsed->requirements;
        parsedOut->entitlements = parsed->entitlements;
        parsedOut->code = std::string_view(*executableBytes).substr(0, parsed->code.size());
    }
    return info;
}

std::string failure(const fs::path& bundle, const std::string& problem) {
    return bundle.string() + ": " + problem;
}

} // namespace

void sign(const fs::path& bundle, const std::string& identifier, const std::string& teamID,
          const json& entitlements, const SigningIdentity& identity) {
    std::string problem;
    std::string name = executableName(bundle, problem);
    if (name.empty()) {
        throw std::runtime_error(bundle.string() + ": " + problem);
    }
    std::string code(body(readFile(bundle / name)));
    makeDirectories(bundle / "_CodeSignature");
    std::string resources = PropertyList::xml(seal(bundle, name));
    writeFileAtomically(bundle / "_CodeSignature" / "CodeResources", resources, 0644);

    std::string entitlementsBlob = blob(entitlementsMagic, PropertyList::xml(entitlements));
    std::string requirementsBlob = blob(requirementsMagic, std::string(4, '\0'));
    std::string special[specialSlots] = {
        Crypto::sha256(readFile(bundle / "Info.plist")), Crypto::sha256(requirementsBlob),
        Crypto::sha256(resources), std::string(32, '\0'), Crypto::sha256(entitlementsBlob)};

    // The header records the signature's size, and the code directory hashes the header, so
    // room is reserved first and the signature padded to it.
    std::size_t codeSize = headerSize + code.size();
    codeSize = (codeSize + 15) / 16 * 16;
    std::size_t pages = (codeSize + pageSize - 1) / pageSize;
    std::size_t reserved = 12 + 4 * 8 + codeDirectoryHeader + identifier.size() + teamID.size() +
                           2 + (specialSlots + pages) * 32 + entitlementsBlob.size() +
                           requirementsBlob.size() + 16384;
    std::string header;
    putLittle(header, machOMagic);
    putLittle(header, 0x0100000c); // arm64
    putLittle(header, 0);
    putLittle(header, 2); // executable
    putLittle(header, 1); // one load command
    putLittle(header, 16);
    putLittle(header, 0x00200085);
    putLittle(header, 0);
    putLittle(header, loadCodeSignature);
    putLittle(header, 16);
    putLittle(header, static_cast<std::uint32_t>(codeSize));
    putLittle(header, static_cast<std::uint32_t>(reserved));
    std::string image = header + code;
    image.resize(codeSize, '\0');

    std::string directory = codeDirectory(image, identifier, teamID, special);
    std::string cms = blob(cmsMagic, Crypto::signCMS(directory, identity.certificate,
                                                     identity.key, true));
    const std::pair<std::uint32_t, const std::string*> blobs[] = {
        {0, &directory}, {2, &requirementsBlob}, {5, &entitlementsBlob}, {0x10000, &cms}};
    std::string super;
    std::size_t offset = 12 + std::size(blobs) * 8;
    std::string index;
    std::string payload;
    for (const auto& [type, bytes] : blobs) {
        putBig(index, type);
        putBig(index, static_cast<std::uint32_t>(offset + payload.size()));
        payload += *bytes;
    }
    putBig(super, superBlobMagic);
    putBig(super, static_cast<std::uint32_t>(offset + payload.size()));
    putBig(super, static_cast<std::uint32_t>(std::size(blobs)));
    super += index + payload;
    if (super.size() > reserved) {
        throw std::runtime_error(bundle.string() + ": signature larger than the space reserved");
    }
    super.resize(reserved, '\0');
    writeFileAtomically(bundle / name, image + super, 0755);
}

std::optional<Info> read(const fs::path& bundle, std::string& problem) {
    std::optional<Info> info = readSignature(bundle, problem, nullptr, nullptr);
    if (!info) {
        problem = failure(bundle, problem);
    }
    return info;
}

std::optional<Info> verify(const fs::path& bundle, std::string& problem) {
    std::string file;
    Parsed parsed;
    std::optional<Info> info = readSignature(bundle, problem, &file, &parsed);
    if (!info) {
        problem = failure(bundle, problem);
        return std::nullopt;
    }
    const std::string& directory = parsed.codeDirectory;
    std::optional<std::uint32_t> hashOffset = big(directory, 16);
    std::optional<std::uint32_t> pages = big(directory, 28);
    std::optional<std::uint32_t> limit = big(directory, 32);
    if (!hashOffset || !pages || !limit || *limit != parsed.code.size() ||
        std::size_t{*hashOffset} + std::size_t{*pages} * 32 > directory.size() ||
        *pages != (parsed.code.size() + pageSize - 1) / pageSize) {
        problem = failure(bundle, "invalid signature (code or signature have been modified)");
        return std::nullopt;
    }
    for (std::uint32_t page = 0; page < *pages; ++page) {
        if (directory.compare(*hashOffset + page * 32, 32,
                              Crypto::sha256(parsed.code.substr(page * pageSize, pageSize))) != 0) {
            problem = failure(bundle, "invalid signature (code or signature have been modified)\n"
                                      "In architecture: arm64");
            return std::nullopt;
        }
    }
    auto slotMatches = [&](std::size_t slot, const std::string& bytes) {
        return specialHash(directory, slot) == Crypto::sha256(bytes);
    };
    if (!slotMatches(infoSlot, readOrEmpty(bundle / "Info.plist"))) {
        problem = failure(bundle, "invalid Info.plist (plist or signature have been modified)");
        return std::nullopt;
    }
    if (!slotMatches(entitlementsSlot, parsed.entitlements) ||
        !slotMatches(requirementsSlot, parsed.requirements)) {
        problem = failure(bundle, "invalid signature (code or signature have been modified)");
        return std::nullopt;
    }
    fs::path resourcesPath = bundle / "_CodeSignature" / "CodeResources";
    std::error_code error;
    if (!fs::exists(resourcesPath, error)) {
        problem = failure(bundle, "code has no resources but signature indicates they must be present");
        return std::nullopt;
    }
    std::string resources = readFile(resourcesPath);
    json sealed;
    try {
        sealed = PropertyList::parse(resources).value("files2", json::object());
    } catch (const PropertyList::Error&) {
        sealed = nullptr;
    }
    if (!slotMatches(resourcesSlot, resources) || !sealed.is_object()) {
        problem = failure(bundle, "invalid resource directory (directory or signature have been modified)");
        return std::nullopt;
    }

    Contents contents;
    collect(bundle, bundle, info->executable.filename().string(), contents);
    std::vector<std::string> findings;
    for (const auto& [relative, path] : contents.nested) {
        std::string nestedProblem;
        std::optional<Info> nested = verify(path, nestedProblem);
        if (!nested) {
            problem = failure(bundle, "a sealed resource is missing or invalid") +
                      "\nIn subcomponent: " + path.string() + "\n" + nestedProblem;
            return std::nullopt;
        }
        const json& entry = sealed.contains(relative) ? sealed[relative] : json();
        if (entry.is_null()) {
            findings.push_back("file added: " + path.string());
        } else if (PropertyList::dataBytes(entry.value("cdhash", json())) != nested->cdhash) {
            findings.push_back("file modified: " + path.string());
        }
    }
    for (const auto& [relative, path] : contents.files) {
        const json& entry = sealed.contains(relative) ? sealed[relative] : json();
        if (entry.is_null()) {
            findings.push_back("file added: " + path.string());
            continue;
        }
        if (fs::is_symlink(path)) {
            fs::path target = fs::read_symlink(path);
            fs::path resolved = (path.parent_path() / target).lexically_normal();
            if (target.is_absolute() ||
                resolved.lexically_relative(bundle).string().rfind("..", 0) == 0) {
                problem = failure(bundle, "invalid destination for symbolic link in bundle");
                return std::nullopt;
            }
            if (entry.value("symlink", "") != target.string()) {
                findings.push_back("file modified: " + path.string());
            }
            continue;
        }
        if (PropertyList::dataBytes(entry.value("hash2", json())) != Crypto::sha256(readFile(path))) {
            findings.push_back("file modified: " + path.string());
        }
    }
    for (const auto& [relative, entry] : sealed.items()) {
        if (!contents.files.count(relative) && !contents.nested.count(relative)) {
            findings.push_back("file missing: " + (bundle / relative).string());
        }
    }
    if (!findings.empty()) {
        problem = failure(bundle, "a sealed resource is missing or invalid");
        for (const std::string& finding : findings) {
            problem += "\n" + finding;
        }
        return std::nullopt;
    }
    return info;
}

} // namespace AppleSim::CodeSignature

#include "Identities.hpp"

#include "Failure.hpp"
#include "Files.hpp"

namespace AppleSim::Identities {

namespace fs = std::filesystem;

namespace {

constexpr double year = 365.0 * 24 * 3600;

fs::path keyPath(const std::string& kind) {
    return World::directory() / "team" / (kind + ".key.pem");
}

fs::path certificatePath(const std::string& kind) {
    return World::directory() / "team" / (kind + ".cert.pem");
}

} // namespace

std::string randomIdentifier() {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string bytes = Crypto::randomBytes(10);
    std::string identifier;
    for (unsigned char byte : bytes) {
        identifier += alphabet[byte % 36];
    }
    return identifier;
}

Identity create(const Team& team, const std::string& kind, double now) {
    Crypto::Subject subject;
    if (kind == "development") {
        subject.commonName = "Apple Development: " + team.developer + " (" + team.memberID + ")";
        subject.userID = team.memberID;
    } else {
        subject.commonName = "Apple Distribution: " + team.name + " (" + team.id + ")";
        subject.userID = team.id;
    }
    subject.organizationalUnit = team.id;
    subject.organization = team.name;
    Crypto::Key key = Crypto::generateKey();
    Crypto::Certificate certificate = Crypto::issueCertificate(key, subject, now, now + year);
    makeDirectories(World::directory() / "team", 0700);
    writeFileAtomically(keyPath(kind), Crypto::pem(key), 0600);
    writeFileAtomically(certificatePath(kind), Crypto::pem(certificate), 0600);
    return Identity{kind, subject.commonName,
                    Crypto::hex(Crypto::sha1(Crypto::der(certificate)), true), now, now + year};
}

SigningIdentity load(const WorldState& world, const std::string& kind, double now,
                     const std::string& missingMessage) {
    const Identity* identity = world.team ? world.team->identity(kind) : nullptr;
    if (!identity || now < identity->notBefore || now >= identity->notAfter) {
        throw ToolFailure(missingMessage, 65);
    }
    return SigningIdentity{*identity, Crypto::keyFromPEM(readFile(keyPath(kind))),
                           Crypto::certificateFromPEM(readFile(certificatePath(kind)))};
}

} // namespace AppleSim::Identities

// Invite texts as users paste them: refused with one of the invite's sentences or the JSON
// decoder's, or read into what makes the same invite again.
#include "FuzzTarget.hpp"
#include "Invite.hpp"
#include "Platform/Encoding.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string pasted(Fuzz::text(data, size));
    Enrollment::Invite invite;
    try {
        invite = Enrollment::readInvite(pasted);
    } catch (const ZUQError& refused) {
        std::string_view sentence = refused.what();
        FUZZ_CHECK(sentence == "Invalid ZUQ invite" || sentence == "Invalid group encryption key");
        return 0;
    } catch (const JSON::ParseError&) {
        return 0;
    }
    auto key = Platform::base64Decode(invite.key);
    FUZZ_CHECK(key && key->size() == 32);
    std::string text = Enrollment::inviteText(invite);
    FUZZ_CHECK(text.starts_with("zuq1."));
    FUZZ_CHECK(Enrollment::readInvite(text) == invite);
    // As the invite command prints it, and with the white space of a paste.
    JSON printed = JSON::object({{"invite", text}, {"expires_in_seconds", 900}});
    FUZZ_CHECK(Enrollment::readInvite(printed.pretty() + "\n") == invite);
    FUZZ_CHECK(Enrollment::readInvite("  " + text + "\r\n") == invite);
    return 0;
}

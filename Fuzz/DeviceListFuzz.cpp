// The device tool's JSON document: whatever it holds, the reader gives phone records of the
// one shape the rest of zuq reads, and never fails.
#include "Devices.hpp"
#include "FuzzTarget.hpp"

#include <array>

namespace {

constexpr std::array<std::string_view, 10> members = {
    "udid", "core_id", "name", "model", "product_type",
    "os", "state", "developer_mode", "available", "transport",
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JSON document;
    try {
        document = JSON::decode(Fuzz::text(data, size));
    } catch (const JSON::ParseError&) {
        return 0;
    }
    std::vector<JSON> phones = Devices::parse(document);
    FUZZ_CHECK(phones.size() <= document["result"]["devices"].items().size());
    for (const JSON& phone : phones) {
        FUZZ_CHECK(phone.kind() == JSON::Kind::object);
        FUZZ_CHECK(phone.fields().size() == members.size());
        for (std::string_view member : members) {
            FUZZ_CHECK(phone.fields().contains(member));
        }
        FUZZ_CHECK(!phone["udid"].text().empty());
        FUZZ_CHECK(phone["developer_mode"].kind() == JSON::Kind::boolean);
        FUZZ_CHECK(phone["available"].kind() == JSON::Kind::boolean);
        // A phone without developer mode cannot take an install, whatever its state says.
        FUZZ_CHECK(!phone["available"].flag() || phone["developer_mode"].flag());
        // "core_id", "model" and "product_type" pass on what the tool said, of any kind.
        for (std::string_view text : {"udid", "name", "os", "state", "transport"}) {
            FUZZ_CHECK(phone[text].kind() == JSON::Kind::string);
        }
    }
    // The same document, the same phones.
    FUZZ_CHECK(Devices::parse(document) == phones);
    return 0;
}

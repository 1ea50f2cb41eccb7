// JSON text from anywhere (relay answers, local files, request bodies): decoding either fails
// cleanly or gives a value that both printed forms carry over unchanged.
#include "FuzzTarget.hpp"
#include "JSON.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JSON value;
    try {
        value = JSON::decode(Fuzz::text(data, size));
    } catch (const JSON::ParseError&) {
        return 0;
    }
    // The output form of every command reads back as the value it prints, and once printed
    // prints the same ever after. (Not always the same as the first time: -0 prints as "-0",
    // which reads back as 0, a value equal to it.)
    std::string pretty = value.pretty();
    JSON again = JSON::decode(pretty);
    FUZZ_CHECK(again == value);
    FUZZ_CHECK(again.hash() == value.hash());
    std::string reprinted = again.pretty();
    FUZZ_CHECK(JSON::decode(reprinted).pretty() == reprinted);
    // So does the compact form of request bodies.
    std::string compact = value.data();
    FUZZ_CHECK(JSON::decode(compact) == value);
    FUZZ_CHECK(compact.size() <= pretty.size());
    return 0;
}

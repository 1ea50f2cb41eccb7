// A small XML reader for the files Xcode writes beside a project: schemes and workspace
// contents. It keeps elements and their attributes; text and comments are dropped.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace AppleSim {

class XMLSyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct XMLElement {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<XMLElement> children;

    std::optional<std::string> attribute(const std::string& key) const;
    /// The first child named `child`, or nothing.
    const XMLElement* child(const std::string& child) const;
};

/// Parses a document and returns its root element. Throws XMLSyntaxError for malformed
/// markup (unclosed or mismatched tags, bad attributes).
XMLElement parseXML(std::string_view text);

} // namespace AppleSim

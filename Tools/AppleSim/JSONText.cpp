#include "JSONText.hpp"

namespace AppleSim {

namespace {

void appendString(std::string& out, const std::string& text) {
    std::string encoded = nlohmann::json(text).dump();
    out.reserve(out.size() + encoded.size());
    for (char c : encoded) {
        if (c == '/') {
            out += "\\/";
        } else {
            out += c;
        }
    }
}

void append(std::string& out, const nlohmann::json& value, int depth) {
    std::string indent(static_cast<std::size_t>(depth + 1) * 2, ' ');
    std::string closing(static_cast<std::size_t>(depth) * 2, ' ');
    if (value.is_object()) {
        if (value.empty()) {
            out += "{\n\n" + closing + "}";
            return;
        }
        out += "{\n";
        bool first = true;
        for (const auto& [key, member] : value.items()) { // nlohmann keeps objects sorted
            out += first ? "" : ",\n";
            first = false;
            out += indent;
            appendString(out, key);
            out += " : ";
            append(out, member, depth + 1);
        }
        out += "\n" + closing + "}";
    } else if (value.is_array()) {
        if (value.empty()) {
            out += "[\n\n" + closing + "]";
            return;
        }
        out += "[\n";
        bool first = true;
        for (const auto& element : value) {
            out += first ? "" : ",\n";
            first = false;
            out += indent;
            append(out, element, depth + 1);
        }
        out += "\n" + closing + "]";
    } else if (value.is_string()) {
        appendString(out, value.get<std::string>());
    } else {
        out += value.dump();
    }
}

} // namespace

std::string appleJSON(const nlohmann::json& value) {
    std::string out;
    append(out, value, 0);
    out += "\n";
    return out;
}

} // namespace AppleSim

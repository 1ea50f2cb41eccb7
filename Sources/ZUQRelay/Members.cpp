#include "Members.hpp"

#include "Refusal.hpp"

#include <cmath>

namespace ZUQRelay::Members {

namespace {

std::string quoted(std::string_view name) {
    std::string text = "Member \"";
    text += name;
    text += '"';
    return text;
}

bool isContinuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

} // namespace

const std::string& string(const JSON& body, std::string_view name) {
    const JSON& value = body[name];
    if (value.kind() != JSON::Kind::string) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " must be a string");
    }
    return value.text();
}

const std::string& string(const JSON& body, std::string_view name, std::size_t limit) {
    const std::string& text = string(body, name);
    if (text.size() > limit && characterCount(text) > limit) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " is too long (at most " +
                                                    std::to_string(limit) + " characters)");
    }
    return text;
}

const JSON& object(const JSON& body, std::string_view name) {
    const JSON& value = body[name];
    if (value.kind() != JSON::Kind::object) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " must be an object");
    }
    return value;
}

const JSON::Array& array(const JSON& body, std::string_view name) {
    const JSON& value = body[name];
    if (value.kind() != JSON::Kind::array) {
        throw Refusal(Refusal::Reason::invalid, quoted(name) + " must be an array");
    }
    return value.items();
}

std::string firstCharacters(std::string_view text, std::size_t count) {
    std::size_t characters = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (!isContinuation(text[index]) && characters++ == count) {
            return std::string(text.substr(0, index));
        }
    }
    return std::string(text);
}

std::size_t characterCount(std::string_view text) {
    std::size_t characters = 0;
    for (char byte : text) {
        characters += isContinuation(byte) ? 0 : 1;
    }
    return characters;
}

std::string lowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

double timestamp(double seconds) {
    return std::round(seconds * 1000) / 1000;
}

} // namespace ZUQRelay::Members

#include "Platform/Text.hpp"

#include <vector>

namespace Platform {

namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length; // bytes consumed: the character, or the maximal invalid subpart
    bool valid;
};

// Decodes the character at `at`, following the well-formed byte sequences of Unicode's
// table 3-7, which excludes overlong forms, surrogates and values past U+10FFFF.
Decoded decode(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return {0xFFFD, 1, false};
    }
    std::size_t i = 1;
    for (; i < length; ++i) {
        if (at + i >= text.size()) {
            return {0xFFFD, i, false};
        }
        unsigned char next = byte(at + i);
        unsigned char min = i == 1 ? low : 0x80;
        unsigned char max = i == 1 ? high : 0xBF;
        if (next < min || next > max) {
            return {0xFFFD, i, false};
        }
        value = (value << 6) | (next & 0x3F);
    }
    return {value, length, true};
}

bool inRange(char32_t c, char32_t first, char32_t last) {
    return c >= first && c <= last;
}

// Code points that never start a character of their own.
bool extends(char32_t c) {
    return inRange(c, 0x0300, 0x036F) || inRange(c, 0x0483, 0x0489) || inRange(c, 0x0591, 0x05BD) ||
           inRange(c, 0x0610, 0x061A) || inRange(c, 0x064B, 0x065F) || inRange(c, 0x0900, 0x0903) ||
           inRange(c, 0x093A, 0x094F) || inRange(c, 0x0E31, 0x0E3A) || inRange(c, 0x0E47, 0x0E4E) ||
           inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF) || inRange(c, 0x200C, 0x200D) ||
           inRange(c, 0x20D0, 0x20FF) || inRange(c, 0x302A, 0x302F) || inRange(c, 0x3099, 0x309A) ||
           inRange(c, 0xFE00, 0xFE0F) || inRange(c, 0xFE20, 0xFE2F) ||
           inRange(c, 0x1F3FB, 0x1F3FF) || inRange(c, 0xE0020, 0xE007F) ||
           inRange(c, 0xE0100, 0xE01EF);
}

bool regionalIndicator(char32_t c) {
    return inRange(c, 0x1F1E6, 0x1F1FF);
}

} // namespace

std::string replacingInvalidUTF8(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    std::size_t at = 0;
    while (at < bytes.size()) {
        Decoded d = decode(bytes, at);
        if (d.valid) {
            result.append(bytes.substr(at, d.length));
        } else {
            result.append("\xEF\xBF\xBD");
        }
        at += d.length;
    }
    return result;
}

bool isValidUTF8(std::string_view bytes) noexcept {
    for (std::size_t at = 0; at < bytes.size();) {
        Decoded d = decode(bytes, at);
        if (!d.valid) {
            return false;
        }
        at += d.length;
    }
    return true;
}

namespace {

// Calls `visit` with the byte offset of every user-perceived character's start, in order,
// until it returns false.
template <typename Visit>
void forEachCharacter(std::string_view text, Visit&& visit) {
    bool first = true;
    char32_t previous = 0;
    bool afterJoiner = false;
    std::size_t indicatorRun = 0;
    for (std::size_t at = 0; at < text.size();) {
        Decoded d = decode(text, at);
        char32_t c = d.codePoint;
        bool joins = !first && (extends(c) || afterJoiner || (previous == '\r' && c == '\n') ||
                                (regionalIndicator(c) && indicatorRun % 2 == 1));
        if (!joins && !visit(at)) {
            return;
        }
        first = false;
        indicatorRun = regionalIndicator(c) ? indicatorRun + 1 : 0;
        afterJoiner = c == 0x200D;
        previous = c;
        at += d.length;
    }
}

} // namespace

std::string lastCharacters(std::string_view text, std::size_t count) {
    if (count == 0) {
        return {};
    }
    // Byte offsets of the last `count` character starts, kept in a ring.
    std::vector<std::size_t> starts(count, 0);
    std::size_t seen = 0;
    forEachCharacter(text, [&](std::size_t at) {
        starts[seen % count] = at;
        ++seen;
        return true;
    });
    if (seen <= count) {
        return std::string(text);
    }
    return std::string(text.substr(starts[seen % count]));
}

std::string firstCharacters(std::string_view text, std::size_t count) {
    std::size_t end = text.size();
    std::size_t seen = 0;
    forEachCharacter(text, [&](std::size_t at) {
        if (seen == count) {
            end = at;
            return false;
        }
        ++seen;
        return true;
    });
    return std::string(text.substr(0, end));
}

namespace {

bool whitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           inRange(c, 0x2000, 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

} // namespace

std::string_view trimWhitespace(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        Decoded d = decode(text, begin);
        if (!d.valid || !whitespace(d.codePoint)) {
            break;
        }
        begin += d.length;
    }
    // Walking forward keeps decoding simple; the end is the end of the last non-space.
    std::size_t end = begin;
    for (std::size_t at = begin; at < text.size();) {
        Decoded d = decode(text, at);
        at += d.length;
        if (!d.valid || !whitespace(d.codePoint)) {
            end = at;
        }
    }
    return text.substr(begin, end - begin);
}

} // namespace Platform

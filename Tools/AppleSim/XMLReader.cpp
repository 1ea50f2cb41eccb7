#include "XMLReader.hpp"

#include <cctype>

namespace AppleSim {

std::optional<std::string> XMLElement::attribute(const std::string& key) const {
    auto found = attributes.find(key);
    if (found == attributes.end()) {
        return std::nullopt;
    }
    return found->second;
}

const XMLElement* XMLElement::child(const std::string& childName) const {
    for (const XMLElement& element : children) {
        if (element.name == childName) {
            return &element;
        }
    }
    return nullptr;
}

namespace {

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    XMLElement document() {
        skipMisc();
        if (!startsWith("<")) {
            fail("no root element");
        }
        XMLElement root = element(0);
        skipMisc();
        if (position_ < text_.size()) {
            fail("text after the root element");
        }
        return root;
    }

private:
    [[noreturn]] void fail(const std::string& message) const {
        std::size_t line = 1;
        for (std::size_t index = 0; index < position_ && index < text_.size(); ++index) {
            line += text_[index] == '\n';
        }
        throw XMLSyntaxError(message + " at line " + std::to_string(line));
    }

    bool startsWith(std::string_view prefix) const {
        return text_.substr(position_, prefix.size()) == prefix;
    }

    void skipSpace() {
        while (position_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[position_]))) {
            ++position_;
        }
    }

    void skipPast(std::string_view end) {
        std::size_t found = text_.find(end, position_);
        if (found == std::string_view::npos) {
            fail("unterminated markup");
        }
        position_ = found + end.size();
    }

    // Declarations, comments, processing instructions and the document type.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (startsWith("<?")) {
                skipPast("?>");
            } else if (startsWith("<!--")) {
                skipPast("-->");
            } else if (startsWith("<!")) {
                skipPast(">");
            } else {
                return;
            }
        }
    }

    std::string name() {
        std::size_t start = position_;
        while (position_ < text_.size()) {
            char c = text_[position_];
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
                c == ':') {
                ++position_;
            } else {
                break;
            }
        }
        if (start == position_) {
            fail("expected a name");
        }
        return std::string(text_.substr(start, position_ - start));
    }

    static void appendUTF8(std::string& out, unsigned long code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string decode(std::string_view raw) {
        std::string out;
        for (std::size_t index = 0; index < raw.size(); ++index) {
            if (raw[index] != '&') {
                out += raw[index];
                continue;
            }
            std::size_t end = raw.find(';', index);
            if (end == std::string_view::npos) {
                fail("unterminated entity");
            }
            std::string_view entity = raw.substr(index + 1, end - index - 1);
            if (entity == "amp") {
                out += '&';
            } else if (entity == "lt") {
                out += '<';
            } else if (entity == "gt") {
                out += '>';
            } else if (entity == "quot") {
                out += '"';
            } else if (entity == "apos") {
                out += '\'';
            } else if (entity.size() > 1 && entity[0] == '#') {
                bool hexadecimal = entity[1] == 'x' || entity[1] == 'X';
                std::string digits(entity.substr(hexadecimal ? 2 : 1));
                if (digits.empty()) {
                    fail("bad character reference");
                }
                appendUTF8(out, std::stoul(digits, nullptr, hexadecimal ? 16 : 10));
            } else {
                fail("unknown entity &" + std::string(entity) + ";");
            }
            index = end;
        }
        return out;
    }

    XMLElement element(int depth) {
        if (depth > 128) {
            fail("nesting too deep");
        }
        ++position_; // '<'
        XMLElement result;
        result.name = name();
        for (;;) {
            skipSpace();
            if (startsWith("/>")) {
                position_ += 2;
                return result;
            }
            if (startsWith(">")) {
                ++position_;
                break;
            }
            std::string key = name();
            skipSpace();
            if (!startsWith("=")) {
                fail("expected '=' after attribute " + key);
            }
            ++position_;
            skipSpace();
            if (position_ >= text_.size() || (text_[position_] != '"' && text_[position_] != '\'')) {
                fail("expected a quoted value for attribute " + key);
            }
            char quote = text_[position_++];
            std::size_t end = text_.find(quote, position_);
            if (end == std::string_view::npos) {
                fail("unterminated attribute value");
            }
            result.attributes[key] = decode(text_.substr(position_, end - position_));
            position_ = end + 1;
        }
        for (;;) {
            std::size_t next = text_.find('<', position_);
            if (next == std::string_view::npos) {
                fail("element <" + result.name + "> is not closed");
            }
            position_ = next;
            if (startsWith("</")) {
                position_ += 2;
                std::string closing = name();
                if (closing != result.name) {
                    fail("</" + closing + "> closes <" + result.name + ">");
                }
                skipSpace();
                if (!startsWith(">")) {
                    fail("expected '>'");
                }
                ++position_;
                return result;
            }
            if (startsWith("<!--")) {
                skipPast("-->");
            } else if (startsWith("<![CDATA[")) {
                skipPast("]]>");
            } else if (startsWith("<?")) {
                skipPast("?>");
            } else {
                result.children.push_back(element(depth + 1));
            }
        }
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

} // namespace

XMLElement parseXML(std::string_view text) {
    return Reader(text).document();
}

} // namespace AppleSim

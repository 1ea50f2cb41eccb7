#include "OldStylePlist.hpp"

#include <cctype>
#include <string>

namespace AppleSim {

using nlohmann::json;

namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    json document() {
        json value = parseValue();
        skipSpace();
        if (position_ < text_.size()) {
            fail("unexpected text after the property list");
        }
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& message) const {
        std::size_t line = 1;
        for (std::size_t index = 0; index < position_ && index < text_.size(); ++index) {
            line += text_[index] == '\n';
        }
        throw PlistSyntaxError(message + " at line " + std::to_string(line));
    }

    void skipSpace() {
        while (position_ < text_.size()) {
            char c = text_[position_];
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++position_;
            } else if (text_.substr(position_, 2) == "//") {
                std::size_t end = text_.find('\n', position_);
                position_ = end == std::string_view::npos ? text_.size() : end + 1;
            } else if (text_.substr(position_, 2) == "/*") {
                std::size_t end = text_.find("*/", position_ + 2);
                if (end == std::string_view::npos) {
                    fail("unterminated comment");
                }
                position_ = end + 2;
            } else {
                return;
            }
        }
    }

    char peek() {
        skipSpace();
        if (position_ >= text_.size()) {
            fail("unexpected end of file");
        }
        return text_[position_];
    }

    void expect(char c) {
        if (peek() != c) {
            fail(std::string("expected '") + c + "' but found '" + text_[position_] + "'");
        }
        ++position_;
    }

    static bool bareCharacter(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '+' ||
               c == '/' || c == ':' || c == '.' || c == '-';
    }

    json parseValue() {
        if (++depth_ > 256) {
            fail("nesting too deep");
        }
        json value = parseNested();
        --depth_;
        return value;
    }

    json parseNested() {
        char c = peek();
        if (c == '{') {
            return parseDictionary();
        }
        if (c == '(') {
            return parseArray();
        }
        if (c == '<') {
            return parseData();
        }
        return parseString();
    }

    json parseDictionary() {
        expect('{');
        json dictionary = json::object();
        while (peek() != '}') {
            std::string key = parseString();
            expect('=');
            dictionary[key] = parseValue();
            expect(';');
        }
        ++position_;
        return dictionary;
    }

    json parseArray() {
        expect('(');
        json array = json::array();
        while (peek() != ')') {
            array.push_back(parseValue());
            if (peek() == ',') {
                ++position_;
            } else if (peek() != ')') {
                fail(std::string("expected ',' or ')' but found '") + text_[position_] + "'");
            }
        }
        ++position_;
        return array;
    }

    json parseData() {
        expect('<');
        std::string hexText;
        while (peek() != '>') {
            char c = text_[position_++];
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                fail(std::string("invalid character '") + c + "' in data");
            }
            hexText += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        ++position_;
        return hexText;
    }

    std::string parseString() {
        char c = peek();
        if (c == '"') {
            return parseQuoted();
        }
        std::size_t start = position_;
        while (position_ < text_.size() && bareCharacter(text_[position_])) {
            ++position_;
        }
        if (position_ == start) {
            fail(std::string("unexpected character '") + c + "'");
        }
        return std::string(text_.substr(start, position_ - start));
    }

    static void appendUTF8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string parseQuoted() {
        ++position_; // the opening quote
        std::string value;
        for (;;) {
            if (position_ >= text_.size()) {
                fail("unterminated string");
            }
            char c = text_[position_++];
            if (c == '"') {
                return value;
            }
            if (c != '\\') {
                value += c;
                continue;
            }
            if (position_ >= text_.size()) {
                fail("unterminated string");
            }
            char escaped = text_[position_++];
            switch (escaped) {
            case 'n': value += '\n'; break;
            case 't': value += '\t'; break;
            case 'r': value += '\r'; break;
            case 'a': value += '\a'; break;
            case 'b': value += '\b'; break;
            case 'f': value += '\f'; break;
            case 'v': value += '\v'; break;
            case 'U': {
                std::string digits(text_.substr(position_, 4));
                if (digits.size() != 4 || digits.find_first_not_of("0123456789abcdefABCDEF") !=
                                              std::string::npos) {
                    fail("invalid \\U escape");
                }
                position_ += 4;
                appendUTF8(value, static_cast<unsigned>(std::stoul(digits, nullptr, 16)));
                break;
            }
            default:
                if (escaped >= '0' && escaped <= '7') {
                    unsigned code = static_cast<unsigned>(escaped - '0');
                    for (int digit = 0; digit < 2 && position_ < text_.size() &&
                                        text_[position_] >= '0' && text_[position_] <= '7';
                         ++digit) {
                        code = code * 8 + static_cast<unsigned>(text_[position_++] - '0');
                    }
                    value += static_cast<char>(code);
                } else {
                    value += escaped; // \" \\ and any other character stand for themselves
                }
            }
        }
    }

    std::string_view text_;
    std::size_t position_ = 0;
    int depth_ = 0;
};

} // namespace

json parseOldStylePlist(std::string_view text) {
    return Parser(text).document();
}

} // namespace AppleSim

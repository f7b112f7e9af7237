#include "hook/HookPayload.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace glimmet {

namespace {

constexpr int maxDepth = 512;
constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD

// The length of the UTF-8 sequence at the start of `text` (1-4), or 0 when it is not one:
// overlong forms, surrogates and code points past U+10FFFF are not.
size_t utf8Length(std::string_view text) {
    const auto byte = [&](size_t i) { return i < text.size() ? std::uint8_t(text[i]) : 0; };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80)
        return 1;
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    }
    const std::uint8_t second = byte(1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | code >> 6);
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | code >> 12);
        out += char(0x80 | (code >> 6 & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | code >> 18);
        out += char(0x80 | (code >> 12 & 0x3F));
        out += char(0x80 | (code >> 6 & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// A strict reader of one JSON text (RFC 8259) that keeps only the string members of the
// top-level object.
class JsonReader {
public:
    explicit JsonReader(std::string_view text)
        : text(text) {}

    // Reads the whole text as one object, calling `member(key, value)` for each member whose
    // value is a string. False, with `error` set, when the text is anything else.
    template <class Member> bool topLevelObject(Member&& member) {
        skipSpace();
        if (!at('{')) {
            const bool json = value(0, nullptr) && (skipSpace(), pos == text.size());
            error = json ? "not an object" : error;
            return false;
        }
        ++pos;
        if (skipSpace(), at('}'))
            ++pos;
        else if (!members(member))
            return false;
        if (skipSpace(), pos != text.size())
            return fail("text after the object");
        return true;
    }

    std::string error;

private:
    template <class Member> bool members(Member& member) {
        for (;;) {
            std::string key, decoded;
            if (skipSpace(), !at('"'))
                return fail("a member name expected");
            if (!string(&key))
                return false;
            if (skipSpace(), !at(':'))
                return fail("':' expected");
            ++pos;
            skipSpace();
            const bool isString = at('"');
            if (!value(1, isString ? &decoded : nullptr))
                return false;
            if (isString)
                member(key, std::move(decoded));
            if (skipSpace(), at(','))
                ++pos;
            else if (at('}'))
                return ++pos, true;
            else
                return fail("',' or '}' expected");
        }
    }

    bool value(int depth, std::string* decoded) {
        if (depth > maxDepth)
            return fail("nested too deeply");
        if (at('"'))
            return string(decoded);
        if (at('{') || at('['))
            return container(depth);
        if (at('-') || (pos < text.size() && text[pos] >= '0' && text[pos] <= '9'))
            return number();
        for (const std::string_view word : {"true", "false", "null"}) {
            if (text.substr(pos, word.size()) == word)
                return pos += word.size(), true;
        }
        return fail("a value expected");
    }

    // An object or an array below the top level, whose contents are checked and dropped.
    bool container(int depth) {
        const char close = text[pos] == '{' ? '}' : ']';
        ++pos;
        if (skipSpace(), at(close))
            return ++pos, true;
        for (;;) {
            if (close == '}') {
                if (skipSpace(), !at('"') || !string(nullptr))
                    return error.empty() ? fail("a member name expected") : false;
                if (skipSpace(), !at(':'))
                    return fail("':' expected");
                ++pos;
            }
            if (skipSpace(), !value(depth + 1, nullptr))
                return false;
            if (skipSpace(), at(','))
                ++pos;
            else if (at(close))
                return ++pos, true;
            else
                return fail("',' or a closing bracket expected");
        }
    }

    bool string(std::string* decoded) {
        ++pos; // the opening quote
        while (pos < text.size()) {
            const std::uint8_t c = std::uint8_t(text[pos]);
            if (c == '"')
                return ++pos, true;
            if (c < 0x20)
                return fail("a control character in a string");
            if (c == '\\') {
                if (!escape(decoded))
                    return false;
                continue;
            }
            const size_t length = utf8Length(text.substr(pos));
            if (length == 0)
                return fail("a string that is not UTF-8");
            if (decoded)
                decoded->append(text.substr(pos, length));
            pos += length;
        }
        return fail("an unterminated string");
    }

    bool escape(std::string* decoded) {
        const char kind = pos + 1 < text.size() ? text[pos + 1] : 0;
        pos += 2;
        constexpr std::string_view from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
        if (const size_t simple = from.find(kind); kind != 0 && simple != std::string_view::npos) {
            if (decoded)
                *decoded += to[simple];
            return true;
        }
        if (kind != 'u')
            return fail("a bad escape");
        std::uint32_t code = 0;
        if (!hex4(code))
            return false;
        // A surrogate pair stands for one code point; a lone surrogate for none.
        if (code >= 0xD800 && code < 0xDC00 && text.substr(pos, 2) == "\\u") {
            std::uint32_t low = 0;
            const size_t before = pos;
            pos += 2;
            if (!hex4(low))
                return false;
            if (low >= 0xDC00 && low < 0xE000)
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            else
                pos = before;
        }
        if (decoded) {
            if (code >= 0xD800 && code < 0xE000)
                decoded->append(replacement);
            else
                appendUtf8(*decoded, code);
        }
        return true;
    }

    bool hex4(std::uint32_t& code) {
        for (int i = 0; i < 4; ++i, ++pos) {
            const char c = pos < text.size() ? text[pos] : 0;
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return fail("a bad \\u escape");
            code = code * 16 + std::uint32_t(digit);
        }
        return true;
    }

    bool number() {
        const auto digits = [this] {
            const size_t start = pos;
            while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
                ++pos;
            return pos > start;
        };
        if (at('-'))
            ++pos;
        if (at('0'))
            ++pos;
        else if (!digits())
            return fail("a bad number");
        if (at('.') && (++pos, !digits()))
            return fail("a bad number");
        if (at('e') || at('E')) {
            ++pos;
            if (at('+') || at('-'))
                ++pos;
            if (!digits())
                return fail("a bad number");
        }
        return true;
    }

    bool at(char c) const { return pos < text.size() && text[pos] == c; }

    void skipSpace() {
        while (at(' ') || at('\t') || at('\n') || at('\r'))
            ++pos;
    }

    bool fail(const char* what) {
        if (error.empty())
            error = std::string(what) + " at byte " + std::to_string(pos);
        return false;
    }

    const std::string_view text;
    size_t pos = 0;
};

} // namespace

HookPayload HookPayload::read(std::string_view json) {
    std::optional<std::string> name, message, type;
    JsonReader reader(json);
    const bool object = reader.topLevelObject([&](const std::string& key, std::string value) {
        if (key == "hook_event_name")
            name = std::move(value);
        else if (key == "message")
            message = std::move(value);
        else if (key == "type")
            type = std::move(value);
    });
    if (!object)
        return {std::nullopt, reader.error};
    if (name)
        return {HookEvent{*name, message}, {}};
    if (type == "agent-turn-complete")
        return {HookEvent{"Stop", std::nullopt}, {}};
    return {};
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    while (!text.empty()) {
        const char c = text.front();
        const size_t length = utf8Length(text);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (std::uint8_t(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            out += escaped;
        } else if (length == 0) {
            out += replacement;
        } else {
            out += text.substr(0, length);
        }
        text.remove_prefix(std::max<size_t>(length, 1));
    }
    return out + '"';
}

} // namespace glimmet

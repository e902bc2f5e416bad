#include "rc/lexer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <stdexcept>

namespace vlm::mfc::rc {
namespace {

bool IsIdentStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsIdentChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// A string literal from its opening quote; "" inside stands for one quote,
// as resource scripts write it, and the C escapes are decoded too.
std::string ReadString(std::string_view s, size_t& i, int line)
{
    std::string out;
    ++i;  // the opening quote
    while (true) {
        if (i >= s.size())
            throw std::runtime_error("line " + std::to_string(line) + ": unterminated string");
        char c = s[i++];
        if (c == '"') {
            if (i < s.size() && s[i] == '"') {
                out += '"';
                ++i;
                continue;
            }
            return out;
        }
        if (c != '\\' || i >= s.size()) {
            out += c;
            continue;
        }
        char e = s[i++];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'a':
            out += '\a';
            break;
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'x': {
            // At most two digits; none stands for a NUL.
            unsigned value = 0;
            const char* first = s.data() + i;
            const char* end = std::from_chars(first, first + std::min<size_t>(2, s.size() - i), value, 16).ptr;
            i += size_t(end - first);
            out += static_cast<char>(value);
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                int value = e - '0', digits = 1;
                while (i < s.size() && digits < 3 && s[i] >= '0' && s[i] <= '7') {
                    value = value * 8 + (s[i++] - '0');
                    ++digits;
                }
                out += static_cast<char>(value);
            } else {
                out += '\\';
                out += e;
            }
        }
    }
}

}  // namespace

bool Token::IsKeyword(std::string_view keyword) const
{
    if (kind != TokenKind::Identifier || text.size() != keyword.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != std::toupper(static_cast<unsigned char>(keyword[i])))
            return false;
    }
    return true;
}

std::vector<Token> Tokenize(std::string_view s, int line)
{
    static constexpr std::string_view kTwoCharPuncts[] = {"<<", ">>", "<=", ">=", "==", "!=", "&&", "||", "##"};
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        Token t;
        t.line = line;
        if ((c == 'L' || c == 'l') && i + 1 < s.size() && s[i + 1] == '"') {
            ++i;  // a wide string is the same text here
            c = '"';
        }
        if (c == '"') {
            t.kind = TokenKind::String;
            t.text = ReadString(s, i, line);
        } else if (IsIdentStart(c)) {
            size_t start = i;
            while (i < s.size() && IsIdentChar(s[i]))
                ++i;
            t.kind = TokenKind::Identifier;
            t.text = std::string(s.substr(start, i - start));
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            size_t start = i;
            uint64_t value = 0;
            if (c == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
                i += 2;
                const char* first = s.data() + i;
                const char* end = std::from_chars(first, s.data() + s.size(), value, 16).ptr;
                i += size_t(end - first);
            } else {
                // Leading zeros are decimal, as the resource compiler reads them.
                while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
                    value = value * 10 + static_cast<uint64_t>(s[i++] - '0');
            }
            while (i < s.size() && (s[i] == 'L' || s[i] == 'l' || s[i] == 'U' || s[i] == 'u'))
                ++i;
            if (i < s.size() && IsIdentChar(s[i]))
                throw std::runtime_error("line " + std::to_string(line) + ": malformed number '" +
                        std::string(s.substr(start, i - start + 1)) + "'");
            t.kind = TokenKind::Number;
            t.value = static_cast<int64_t>(value);
            t.text = std::string(s.substr(start, i - start));
        } else {
            t.kind = TokenKind::Punct;
            t.text = std::string(1, c);
            for (std::string_view two : kTwoCharPuncts) {
                if (s.substr(i, 2) == two) {
                    t.text = std::string(two);
                    break;
                }
            }
            i += t.text.size();
        }
        tokens.push_back(std::move(t));
    }
    return tokens;
}

}  // namespace vlm::mfc::rc

#include "rc/preprocessor.h"

#include "rc/names.h"

#include <vlm/mfc/resource_module.h>

#include <cctype>

namespace vlm::mfc::rc {
namespace {

constexpr int kMaxIncludeDepth = 16;

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

bool IsHeaderName(std::string_view name)
{
    std::string lower = Lower(name);
    for (std::string_view ext : {".h", ".hh", ".hpp", ".c"}) {
        if (lower.size() >= ext.size() && lower.compare(lower.size() - ext.size(), ext.size(), ext) == 0)
            return true;
    }
    return false;
}

struct LogicalLine {
    std::string text;
    int number;  // of its first physical line
};

// Joins continuation lines and removes comments (a block comment may span
// lines). String literals are copied untouched; in headers so are
// character literals, which may hold a quote.
std::vector<LogicalLine> SplitLines(std::string_view text, bool header)
{
    std::vector<LogicalLine> lines;
    bool inBlock = false;
    size_t pos = 0;
    int number = 0;
    while (pos <= text.size()) {
        LogicalLine line{{}, number + 1};
        // One logical line: physical lines ending in a backslash continue.
        std::string raw;
        while (pos <= text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view physical = text.substr(pos, end - pos);
            if (!physical.empty() && physical.back() == '\r')
                physical.remove_suffix(1);
            pos = end + 1;
            ++number;
            if (!physical.empty() && physical.back() == '\\') {
                raw.append(physical.substr(0, physical.size() - 1));
                continue;
            }
            raw.append(physical);
            break;
        }
        for (size_t i = 0; i < raw.size(); ++i) {
            char c = raw[i];
            if (inBlock) {
                if (c == '*' && i + 1 < raw.size() && raw[i + 1] == '/') {
                    inBlock = false;
                    ++i;
                    line.text += ' ';
                }
                continue;
            }
            if (c == '/' && i + 1 < raw.size() && raw[i + 1] == '/')
                break;
            if (c == '/' && i + 1 < raw.size() && raw[i + 1] == '*') {
                inBlock = true;
                ++i;
                continue;
            }
            if (c == '"' || (header && c == '\'')) {
                size_t close = i + 1;
                while (close < raw.size() && raw[close] != c) {
                    if (raw[close] == '\\')
                        ++close;
                    ++close;
                }
                line.text.append(raw, i, close + 1 - i);
                i = close;
                continue;
            }
            line.text += c;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The framework's headers stand in for the SDK's: windows.h and the
// resource compiler's winres.h give every constant a script names.
std::optional<IncludedFile> SystemInclude(std::string_view name)
{
    std::string base = Lower(BaseName(name));
    if (base == "windows.h" || base == "winres.h" || base == "winresrc.h")
        return IncludedFile{
                "#pragma once\n#include \"windows_ui.h\"\n#include \"commctrl.h\"\n#include \"winuser.h\"\n",
                "windows.h"};
    for (const EmbeddedFile& file : detail::SystemHeaders()) {
        if (base == Lower(file.name))
            return IncludedFile{std::string(reinterpret_cast<const char*>(file.data), file.size), file.name};
    }
    return std::nullopt;
}

}  // namespace

std::string DecodeScriptText(std::string_view raw)
{
    if (raw.size() >= 3 && static_cast<unsigned char>(raw[0]) == 0xEF && static_cast<unsigned char>(raw[1]) == 0xBB &&
            static_cast<unsigned char>(raw[2]) == 0xBF)
        return std::string(raw.substr(3));
    bool le =
            raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE;
    bool be =
            raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFE && static_cast<unsigned char>(raw[1]) == 0xFF;
    if (!le && !be)
        return std::string(raw);
    std::string out;
    auto unit = [&](size_t i) -> uint32_t {
        auto b0 = static_cast<unsigned char>(raw[i]), b1 = static_cast<unsigned char>(raw[i + 1]);
        return le ? (b0 | (b1 << 8)) : ((b0 << 8) | b1);
    };
    for (size_t i = 2; i + 1 < raw.size(); i += 2) {
        uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 3 < raw.size()) {
            uint32_t low = unit(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, cp);
    }
    return out;
}

Preprocessor::Preprocessor(const IncludeResolver& includes) : m_includes(includes)
{
    for (const char* name : {"RC_INVOKED", "_WIN32", "WIN32"}) {
        Token one;
        one.kind = TokenKind::Number;
        one.value = 1;
        one.text = "1";
        m_macros.Define(name, Macro{false, {one}});
    }
}

Source Preprocessor::Run(std::string_view text, std::string_view name)
{
    m_source = Source{};
    ProcessFile(DecodeScriptText(text), std::string(name), false, false, 0);
    return std::move(m_source);
}

std::optional<IncludedFile> Preprocessor::Resolve(const std::string& name, bool angled, bool& system) const
{
    system = false;
    if (m_includes) {
        if (auto file = m_includes(name, angled))
            return file;
    }
    system = true;
    return SystemInclude(name);
}

bool Preprocessor::Active(const std::vector<Conditional>& conditionals) const
{
    return conditionals.empty() || conditionals.back().active;
}

void Preprocessor::ProcessFile(
        std::string_view text, const std::string& name, bool directivesOnly, bool system, int depth)
{
    int fileIndex = static_cast<int>(m_source.files.size());
    m_source.files.push_back(name);
    std::vector<Conditional> conditionals;
    for (const LogicalLine& line : SplitLines(text, directivesOnly)) {
        std::string_view s = Trim(line.text);
        try {
            if (!s.empty() && s.front() == '#') {
                Directive(s.substr(1), line.number, fileIndex, directivesOnly, system, depth, conditionals);
                continue;
            }
            if (directivesOnly || s.empty() || !Active(conditionals))
                continue;
            for (Token& t : m_macros.Expand(Tokenize(s, line.number))) {
                t.file = fileIndex;
                m_source.tokens.push_back(std::move(t));
            }
        } catch (const ParseError&) {
            throw;
        } catch (const std::exception& e) {
            std::string what = e.what();
            // The tokenizer and evaluator prefix their line; the error names it anyway.
            if (what.rfind("line ", 0) == 0 && what.find(": ") != std::string::npos)
                what = what.substr(what.find(": ") + 2);
            throw ParseError(name, line.number, what);
        }
    }
    if (!conditionals.empty())
        throw ParseError(name, conditionals.back().line, "#if without #endif");
}

int64_t Preprocessor::EvaluateCondition(std::string_view expression, int lineNumber)
{
    std::vector<Token> raw = Tokenize(expression, lineNumber);
    std::vector<Token> resolved;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i].kind == TokenKind::Identifier && raw[i].text == "defined") {
            bool paren = i + 1 < raw.size() && raw[i + 1].Is("(");
            size_t nameAt = i + (paren ? 2 : 1);
            if (nameAt >= raw.size() || raw[nameAt].kind != TokenKind::Identifier)
                throw std::runtime_error("defined without a name");
            Token value;
            value.kind = TokenKind::Number;
            value.value = m_macros.IsDefined(raw[nameAt].text) ? 1 : 0;
            value.line = lineNumber;
            resolved.push_back(value);
            i = nameAt + (paren ? 1 : 0);
            continue;
        }
        resolved.push_back(raw[i]);
    }
    std::vector<Token> tokens = m_macros.Expand(resolved);
    size_t pos = 0;
    int64_t value = Evaluate(tokens, pos, 0, UnknownIdentifiers::AreZero);
    if (pos != tokens.size())
        throw std::runtime_error("unexpected '" + tokens[pos].text + "' after the condition");
    return value;
}

void Preprocessor::Directive(std::string_view line, int lineNumber, int fileIndex, bool directivesOnly, bool system,
        int depth, std::vector<Conditional>& conditionals)
{
    const std::string& fileName = m_source.files[static_cast<size_t>(fileIndex)];
    line = Trim(line);
    size_t nameEnd = 0;
    while (nameEnd < line.size() && std::isalpha(static_cast<unsigned char>(line[nameEnd])))
        ++nameEnd;
    std::string directive(line.substr(0, nameEnd));
    std::string_view rest = Trim(line.substr(nameEnd));
    bool active = Active(conditionals);

    if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
        bool value = false;
        if (active) {
            if (directive == "if") {
                value = EvaluateCondition(rest, lineNumber) != 0;
            } else {
                std::vector<Token> t = Tokenize(rest, lineNumber);
                if (t.empty() || t[0].kind != TokenKind::Identifier)
                    throw std::runtime_error("#" + directive + " without a name");
                value = m_macros.IsDefined(t[0].text) == (directive == "ifdef");
            }
        }
        conditionals.push_back(Conditional{active, value, value, false, lineNumber});
        return;
    }
    if (directive == "elif" || directive == "else") {
        if (conditionals.empty() || conditionals.back().sawElse)
            throw std::runtime_error("#" + directive + " without #if");
        Conditional& c = conditionals.back();
        bool value = false;
        if (c.parentActive && !c.taken)
            value = directive == "else" || EvaluateCondition(rest, lineNumber) != 0;
        c.active = value;
        c.taken = c.taken || value;
        c.sawElse = directive == "else";
        return;
    }
    if (directive == "endif") {
        if (conditionals.empty())
            throw std::runtime_error("#endif without #if");
        conditionals.pop_back();
        return;
    }
    if (!active)
        return;

    if (directive == "define") {
        size_t end = 0;
        while (end < rest.size() && (std::isalnum(static_cast<unsigned char>(rest[end])) || rest[end] == '_'))
            ++end;
        if (end == 0)
            throw std::runtime_error("#define without a name");
        std::string name(rest.substr(0, end));
        Macro macro;
        macro.functionLike = end < rest.size() && rest[end] == '(';
        if (!macro.functionLike) {
            try {
                macro.body = Tokenize(rest.substr(end), lineNumber);
            } catch (const std::exception&) {
                // A header's definition that is no script text (it never
                // names a style or an id) is kept out of the way.
                if (!directivesOnly)
                    throw;
                macro.functionLike = true;
            }
        }
        m_macros.Define(name, std::move(macro));
    } else if (directive == "undef") {
        std::vector<Token> t = Tokenize(rest, lineNumber);
        if (!t.empty())
            m_macros.Undefine(t[0].text);
    } else if (directive == "include") {
        if (rest.size() < 2 ||
                !((rest.front() == '"' && rest.find('"', 1) != std::string_view::npos) ||
                        (rest.front() == '<' && rest.find('>') != std::string_view::npos)))
            throw std::runtime_error("#include without a file name");
        bool angled = rest.front() == '<';
        std::string name = NormalisePath(rest.substr(1, rest.find(angled ? '>' : '"', 1) - 1));
        bool fromSystem = false;
        std::optional<IncludedFile> file = Resolve(name, angled, fromSystem);
        if (!file) {
            // SDK headers our headers include (windef.h, stdint.h) hold
            // nothing a script needs.
            if (angled || system)
                return;
            throw std::runtime_error("cannot open include file '" + name + "'");
        }
        if (m_once.count(file->name) != 0)
            return;
        if (depth + 1 > kMaxIncludeDepth)
            throw std::runtime_error("#include nests too deeply at '" + name + "'");
        bool header = fromSystem || IsHeaderName(file->name);
        ProcessFile(file->text, file->name, header, fromSystem || system, depth + 1);
    } else if (directive == "pragma") {
        if (Trim(rest) == "once")
            m_once.insert(fileName);
    } else if (directive == "error") {
        throw ParseError(fileName, lineNumber, "#error " + std::string(rest));
    }
    // #line and anything else the resource compiler would ignore.
}

ParseError::ParseError(const std::string& f, int l, const std::string& what)
    : std::runtime_error(f + ":" + std::to_string(l) + ": " + what), file(f), line(l)
{
}

}  // namespace vlm::mfc::rc

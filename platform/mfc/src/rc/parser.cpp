// The statements of a resource script: DIALOG/DIALOGEX with their controls,
// ICON, STRINGTABLE and LANGUAGE; every other resource is skipped whole.
#include "rc/preprocessor.h"
#include "rc/script.h"
#include "rc/names.h"

#include <vlm/mfc/windows_ui.h>

#include <cctype>
#include <vector>

namespace vlm::mfc::rc {
namespace {

// The statements that declare a control of a fixed class, with the styles
// the resource compiler gives them (every control is also a visible child).
struct ControlStatement {
    const char* keyword;
    const char* className;
    DWORD style;
    enum { Text, NoText, Icon } form;
    DWORD typeMask;  // the bits that say which kind of control of the class
};

constexpr ControlStatement kControlStatements[] = {
        {"LTEXT", "Static", SS_LEFT | WS_GROUP, ControlStatement::Text, SS_TYPEMASK},
        {"CTEXT", "Static", SS_CENTER | WS_GROUP, ControlStatement::Text, SS_TYPEMASK},
        {"RTEXT", "Static", SS_RIGHT | WS_GROUP, ControlStatement::Text, SS_TYPEMASK},
        {"PUSHBUTTON", "Button", BS_PUSHBUTTON | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"DEFPUSHBUTTON", "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"PUSHBOX", "Button", BS_PUSHBOX | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"CHECKBOX", "Button", BS_CHECKBOX | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"AUTOCHECKBOX", "Button", BS_AUTOCHECKBOX | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"STATE3", "Button", BS_3STATE | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"AUTO3STATE", "Button", BS_AUTO3STATE | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"RADIOBUTTON", "Button", BS_RADIOBUTTON | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"AUTORADIOBUTTON", "Button", BS_AUTORADIOBUTTON | WS_TABSTOP, ControlStatement::Text, BS_TYPEMASK},
        {"GROUPBOX", "Button", BS_GROUPBOX, ControlStatement::Text, BS_TYPEMASK},
        {"EDITTEXT", "Edit", ES_LEFT | WS_BORDER | WS_TABSTOP, ControlStatement::NoText, ES_CENTER | ES_RIGHT},
        {"COMBOBOX", "ComboBox", CBS_SIMPLE | WS_TABSTOP, ControlStatement::NoText, CBS_DROPDOWNLIST},
        {"LISTBOX", "ListBox", LBS_NOTIFY | WS_BORDER, ControlStatement::NoText, 0},
        {"SCROLLBAR", "ScrollBar", SBS_HORZ, ControlStatement::NoText, SBS_VERT},
        {"ICON", "Static", SS_ICON, ControlStatement::Icon, SS_TYPEMASK},
};

// Window class names compare without regard to case; the predefined ones
// may also be given by keyword or by their ordinals.
std::string CanonicalClass(std::string_view name)
{
    static constexpr const char* kKnown[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox",
            "SysListView32", "msctls_progress32", "SysIPAddress32"};
    std::string upper = Upper(name);
    for (const char* known : kKnown) {
        if (upper == Upper(known))
            return known;
    }
    return std::string(name);
}

std::string ClassOrdinal(int64_t ordinal)
{
    switch (ordinal) {
    case 0x80:
        return "Button";
    case 0x81:
        return "Edit";
    case 0x82:
        return "Static";
    case 0x83:
        return "ListBox";
    case 0x84:
        return "ScrollBar";
    case 0x85:
        return "ComboBox";
    default:
        return "#" + std::to_string(ordinal);
    }
}

constexpr const char* kMemoryOptions[] = {
        "MOVEABLE", "FIXED", "PURE", "IMPURE", "PRELOAD", "LOADONCALL", "DISCARDABLE", "SHARED", "NONSHARED"};

class Parser {
public:
    explicit Parser(Source source) : m_source(std::move(source)) { }

    Script Run()
    {
        while (!AtEnd()) {
            const Token& t = Next();
            if (t.IsKeyword("LANGUAGE")) {
                Language();
            } else if (t.IsKeyword("STRINGTABLE")) {
                StringTable();
            } else if (t.IsKeyword("VERSION") || t.IsKeyword("CHARACTERISTICS")) {
                Expr(UnknownIdentifiers::AreZero);
            } else {
                Resource(t);
            }
        }
        return std::move(m_script);
    }

private:
    // Tokens ---------------------------------------------------------------

    const Token& Peek() const
    {
        static const Token kEnd;
        return m_pos < m_source.tokens.size() ? m_source.tokens[m_pos] : kEnd;
    }
    bool AtEnd() const { return m_pos >= m_source.tokens.size(); }
    const Token& Next()
    {
        const Token& t = Peek();
        if (!AtEnd())
            ++m_pos;
        return t;
    }
    static bool IsBegin(const Token& t) { return t.IsKeyword("BEGIN") || t.Is("{"); }
    static bool IsEnd(const Token& t) { return t.IsKeyword("END") || t.Is("}"); }
    bool Accept(std::string_view punct)
    {
        if (!Peek().Is(punct))
            return false;
        Next();
        return true;
    }
    void Expect(std::string_view punct, std::string_view after)
    {
        if (!Accept(punct))
            Fail(Peek(), "'" + std::string(punct) + "' expected after " + std::string(after));
    }

    [[noreturn]] void Fail(const Token& at, const std::string& what) const
    {
        const Token& where = at.kind == TokenKind::End && !m_source.tokens.empty() ? m_source.tokens.back() : at;
        std::string file = m_source.files.empty() ? std::string() : m_source.files[static_cast<size_t>(where.file)];
        throw ParseError(file, where.line, at.kind == TokenKind::End ? what + " (at the end of the script)" : what);
    }

    int64_t Expr(UnknownIdentifiers unknown = UnknownIdentifiers::AreErrors, int minPrecedence = 0)
    {
        const Token& at = Peek();
        try {
            return Evaluate(m_source.tokens, m_pos, minPrecedence, unknown);
        } catch (const std::runtime_error& e) {
            std::string what = e.what();
            if (what.rfind("line ", 0) == 0 && what.find(": ") != std::string::npos)
                what = what.substr(what.find(": ") + 2);
            Fail(at, what);
        }
    }
    int Int(std::string_view what)
    {
        if (Peek().kind == TokenKind::End)
            Fail(Peek(), std::string(what) + " expected");
        return static_cast<int>(Expr());
    }

    // A style: terms joined by |, each OR-ed into the value, or with NOT
    // removed from it, starting from the statement's default. A term that
    // names the kind of control (COMBOBOX's CBS_DROPDOWN, a button's
    // BS_AUTOCHECKBOX) replaces the default's kind instead of adding to it.
    DWORD Style(DWORD initial, DWORD typeMask = 0)
    {
        std::vector<std::pair<bool, DWORD>> terms;
        DWORD given = 0;
        do {
            bool remove = Peek().IsKeyword("NOT");
            if (remove)
                Next();
            auto term = static_cast<DWORD>(Expr(UnknownIdentifiers::AreErrors, 4));
            terms.emplace_back(remove, term);
            given |= remove ? 0 : term;
        } while (Accept("|"));
        DWORD value = (given & typeMask) != 0 ? (initial & ~typeMask) : initial;
        for (const auto& [remove, term] : terms)
            value = remove ? (value & ~term) : (value | term);
        return value;
    }

    ResId Name(const Token& t)
    {
        switch (t.kind) {
        case TokenKind::Number:
            return ResId::Number(static_cast<uint32_t>(t.value) & 0xFFFF);
        case TokenKind::Identifier:
        case TokenKind::String:
            return ResId::Name(t.text);
        default:
            Fail(t, "resource name expected, not '" + t.text + "'");
        }
    }

    std::string String(std::string_view what)
    {
        if (Peek().kind != TokenKind::String)
            Fail(Peek(), std::string(what) + " expected");
        std::string s = Next().text;
        while (Peek().kind == TokenKind::String)
            s += Next().text;
        return s;
    }

    void SkipMemoryOptions()
    {
        while (true) {
            bool option = false;
            for (const char* o : kMemoryOptions)
                option = option || Peek().IsKeyword(o);
            if (!option)
                return;
            Next();
        }
    }

    // After BEGIN: up to the END that closes it.
    void SkipBlock()
    {
        int depth = 1;
        while (depth > 0) {
            const Token& t = Next();
            if (t.kind == TokenKind::End)
                Fail(t, "END expected");
            if (IsBegin(t))
                ++depth;
            else if (IsEnd(t))
                --depth;
        }
    }

    // Statements -------------------------------------------------------------

    void Language()
    {
        Expr(UnknownIdentifiers::AreZero);
        Expect(",", "LANGUAGE's language");
        Expr(UnknownIdentifiers::AreZero);
    }

    void Resource(const Token& nameToken)
    {
        ResId name = Name(nameToken);
        const Token& type = Next();
        if (type.kind == TokenKind::End)
            Fail(type, "resource type expected after '" + nameToken.text + "'");
        if (type.IsKeyword("DIALOG") || type.IsKeyword("DIALOGEX")) {
            Dialog(name, type.IsKeyword("DIALOGEX"), type);
        } else if (type.IsKeyword("ICON")) {
            SkipMemoryOptions();
            std::string file = String("icon file name");
            for (char& c : file)
                c = c == '\\' ? '/' : c;
            m_script.icons.push_back(IconResource{name, file});
        } else {
            // Other resources: a file reference, or a block of data.
            SkipMemoryOptions();
            if (Peek().kind == TokenKind::String) {
                Next();
                return;
            }
            while (true) {
                const Token& t = Next();
                if (t.kind == TokenKind::End)
                    Fail(t, "BEGIN expected in resource '" + nameToken.text + "'");
                if (IsBegin(t)) {
                    SkipBlock();
                    return;
                }
            }
        }
    }

    void StringTable()
    {
        while (!IsBegin(Peek())) {
            const Token& t = Next();
            if (t.kind == TokenKind::End)
                Fail(t, "BEGIN expected in STRINGTABLE");
            if (t.IsKeyword("LANGUAGE"))
                Language();
        }
        Next();
        while (!IsEnd(Peek())) {
            if (AtEnd())
                Fail(Peek(), "END expected in STRINGTABLE");
            auto id = static_cast<uint32_t>(Int("string id")) & 0xFFFF;
            Accept(",");
            m_script.strings[id] = String("string");
        }
        Next();
    }

    void Dialog(const ResId& id, bool extended, const Token& at)
    {
        DialogTemplate d;
        d.id = id;
        d.extended = extended;
        d.file = m_source.files.empty() ? std::string() : m_source.files[static_cast<size_t>(at.file)];
        d.line = at.line;
        SkipMemoryOptions();
        Rectangle(d.x, d.y, d.cx, d.cy, "dialog");
        if (extended && Accept(","))
            Expr();  // help id
        d.style = WS_POPUP | WS_BORDER | WS_SYSMENU;
        bool caption = false, font = false;
        while (!IsBegin(Peek())) {
            const Token& t = Next();
            if (t.IsKeyword("STYLE")) {
                d.style = Style(0);
            } else if (t.IsKeyword("EXSTYLE")) {
                d.exStyle = Style(0);
            } else if (t.IsKeyword("CAPTION")) {
                d.caption = String("caption");
                caption = true;
            } else if (t.IsKeyword("FONT")) {
                d.pointSize = Int("point size");
                Expect(",", "FONT's point size");
                d.fontFace = String("typeface");
                font = true;
                if (Accept(",")) {
                    d.weight = Int("weight");
                    if (Accept(",")) {
                        d.italic = Int("italic") != 0;
                        if (Accept(","))
                            Expr();  // character set
                    }
                }
            } else if (t.IsKeyword("MENU") || t.IsKeyword("CLASS")) {
                Next();
            } else if (t.IsKeyword("LANGUAGE")) {
                Language();
            } else if (t.IsKeyword("CHARACTERISTICS") || t.IsKeyword("VERSION")) {
                Expr(UnknownIdentifiers::AreZero);
            } else {
                Fail(t,
                        t.kind == TokenKind::End ? "BEGIN expected in dialog " + id.ToString()
                                                 : "unexpected '" + t.text + "' in dialog " + id.ToString());
            }
        }
        Next();
        if (caption)
            d.style |= WS_CAPTION;
        if (font)
            d.style |= DS_SETFONT;
        while (!IsEnd(Peek())) {
            if (AtEnd())
                Fail(Peek(), "END expected in dialog " + id.ToString());
            d.controls.push_back(Control());
        }
        Next();
        m_script.dialogs.push_back(std::move(d));
    }

    // A control's text: a string, or a resource (an icon) by number or name.
    void Text(ControlTemplate& c)
    {
        const Token& t = Peek();
        if (t.kind == TokenKind::String) {
            c.text = String("text");
        } else if (t.kind == TokenKind::Number || t.kind == TokenKind::Identifier) {
            c.textResource = Name(Next());
        } else {
            Fail(t, "control text expected");
        }
    }

    // x, y, width, height, in dialog units.
    void Rectangle(int& x, int& y, int& cx, int& cy, const std::string& whose)
    {
        x = Int("x");
        Expect(",", "the " + whose + "'s x");
        y = Int("y");
        Expect(",", "the " + whose + "'s y");
        cx = Int("width");
        Expect(",", "the " + whose + "'s width");
        cy = Int("height");
    }

    ControlTemplate Control()
    {
        const Token& keyword = Next();
        ControlTemplate c;
        c.statement = Upper(keyword.text);
        c.line = keyword.line;
        const DWORD visibleChild = WS_CHILD | WS_VISIBLE;
        if (keyword.IsKeyword("CONTROL")) {
            Text(c);
            Expect(",", "the control's text");
            c.id = Int("control id");
            Expect(",", "the control's id");
            const Token& cls = Next();
            if (cls.kind == TokenKind::String || cls.kind == TokenKind::Identifier)
                c.className = CanonicalClass(cls.text);
            else if (cls.kind == TokenKind::Number)
                c.className = ClassOrdinal(cls.value);
            else
                Fail(cls, "window class expected");
            Expect(",", "the control's class");
            c.style = Style(visibleChild);
            Expect(",", "the control's style");
            Rectangle(c.x, c.y, c.cx, c.cy, "control");
            if (Accept(",")) {
                c.exStyle = Style(0);
                if (Accept(","))
                    Expr();  // help id
            }
        } else {
            const ControlStatement* statement = nullptr;
            for (const ControlStatement& s : kControlStatements) {
                if (keyword.IsKeyword(s.keyword))
                    statement = &s;
            }
            if (statement == nullptr)
                Fail(keyword, "unknown control statement '" + keyword.text + "'");
            c.className = statement->className;
            if (statement->form != ControlStatement::NoText) {
                Text(c);
                Expect(",", "the control's text");
            }
            c.id = Int("control id");
            Expect(",", "the control's id");
            if (statement->form == ControlStatement::Icon) {
                c.x = Int("x");
                Expect(",", "the icon's x");
                c.y = Int("y");
                if (Accept(",")) {
                    c.cx = Int("width");
                    Expect(",", "the icon's width");
                    c.cy = Int("height");
                }
            } else {
                Rectangle(c.x, c.y, c.cx, c.cy, "control");
            }
            c.style = statement->style | visibleChild;
            if (Accept(",")) {
                c.style = Style(c.style, statement->typeMask);
                if (Accept(",")) {
                    c.exStyle = Style(0);
                    if (Accept(","))
                        Expr();  // help id
                }
            }
        }
        if (IsBegin(Peek())) {
            Next();
            SkipBlock();  // creation data
        }
        return c;
    }

    Source m_source;
    size_t m_pos = 0;
    Script m_script;
};

}  // namespace

ResId ResId::Name(std::string_view n)
{
    return ResId{0, Upper(n)};
}

std::string ResId::ToString() const
{
    return IsNamed() ? name : std::to_string(number);
}

const DialogTemplate* Script::FindDialog(const ResId& id) const
{
    for (const DialogTemplate& d : dialogs) {
        if (d.id == id)
            return &d;
    }
    return nullptr;
}

const IconResource* Script::FindIcon(const ResId& id) const
{
    for (const IconResource& i : icons) {
        if (i.id == id)
            return &i;
    }
    return nullptr;
}

Script Parse(std::string_view text, std::string_view fileName, const IncludeResolver& includes)
{
    Preprocessor preprocessor(includes);
    return Parser(preprocessor.Run(text, fileName)).Run();
}

}  // namespace vlm::mfc::rc

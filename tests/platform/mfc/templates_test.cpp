// The resource-script reader: what a template says, as the resource
// compiler would have read it.
#include "mfc_tests.h"

#include "rc/resources.h"
#include "rc/script.h"

#include <afxcmn.h>

#include "resource.h"

#include <QTest>

using namespace vlm::mfc;

namespace {

rc::IncludeResolver Files(std::map<std::string, std::string> files)
{
    return [files](std::string_view name, bool) -> std::optional<rc::IncludedFile> {
        auto it = files.find(std::string(name));
        if (it == files.end())
            return std::nullopt;
        return rc::IncludedFile{it->second, it->first};
    };
}

rc::Script Read(const std::string& text, std::map<std::string, std::string> files = {})
{
    return rc::Parse(text, "test.rc", Files(std::move(files)));
}

const rc::ControlTemplate& ControlOf(const rc::DialogTemplate& d, int id)
{
    for (const rc::ControlTemplate& c : d.controls) {
        if (c.id == id)
            return c;
    }
    throw std::runtime_error("no control " + std::to_string(id));
}

// The line a ParseError names, or 0 when the script was read.
int ErrorLine(const std::string& text, std::string* what = nullptr)
{
    try {
        Read(text);
    } catch (const rc::ParseError& e) {
        if (what != nullptr)
            *what = e.what();
        return e.line;
    }
    return 0;
}

}  // namespace

class TemplatesTest : public QObject {
    Q_OBJECT

private slots:
    void dialogExHeaderStatements()
    {
        rc::Script s = Read(R"(#include <windows.h>
7 DIALOGEX 10, 20, 186, 60
STYLE DS_SETFONT | DS_MODALFRAME | WS_POPUP | \
      WS_SYSMENU
EXSTYLE WS_EX_APPWINDOW
CAPTION "Say ""hi""\n"
FONT 9, "Tahoma", 700, 1, 0x1
BEGIN
END
)");
        QCOMPARE(s.dialogs.size(), size_t(1));
        const rc::DialogTemplate& d = s.dialogs[0];
        QCOMPARE(d.id, rc::ResId::Number(7));
        QVERIFY(d.extended);
        QCOMPARE(d.x, 10);
        QCOMPARE(d.y, 20);
        QCOMPARE(d.cx, 186);
        QCOMPARE(d.cy, 60);
        // CAPTION adds the caption style, FONT the font style.
        QCOMPARE(d.style, DWORD(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_SYSMENU | WS_CAPTION));
        QCOMPARE(d.exStyle, DWORD(WS_EX_APPWINDOW));
        QCOMPARE(d.caption, std::string("Say \"hi\"\n"));
        QCOMPARE(d.fontFace, std::string("Tahoma"));
        QCOMPARE(d.pointSize, 9);
        QCOMPARE(d.weight, 700);
        QVERIFY(d.italic);
    }

    void dialogWithoutStyleIsAPopupWithBorderAndSystemMenu()
    {
        rc::Script s = Read("#include \"afxres.h\"\nX DIALOG 0, 0, 50, 20\nBEGIN\nEND\n");
        QCOMPARE(s.dialogs[0].id, rc::ResId::Name("x"));
        QVERIFY(!s.dialogs[0].extended);
        QCOMPARE(s.dialogs[0].style, DWORD(WS_POPUP | WS_BORDER | WS_SYSMENU));
    }

    void controlStatementsTakeTheirDefaultStyles()
    {
        rc::Script s = Read(R"(#include "afxres.h"
1 DIALOGEX 0, 0, 100, 100
BEGIN
    LTEXT "l", 10, 0, 0, 1, 1
    CTEXT "c", 11, 0, 0, 1, 1
    RTEXT "r", 12, 0, 0, 1, 1
    PUSHBUTTON "p", 13, 0, 0, 1, 1
    DEFPUSHBUTTON "d", 14, 0, 0, 1, 1
    EDITTEXT 15, 0, 0, 1, 1
    COMBOBOX 16, 0, 0, 1, 1
    GROUPBOX "g", 17, 0, 0, 1, 1
    CHECKBOX "k", 18, 0, 0, 1, 1
    AUTOCHECKBOX "a", 19, 0, 0, 1, 1
    LISTBOX 20, 0, 0, 1, 1
    ICON 128, 21, 0, 0
    CONTROL "x", 22, "Button", BS_AUTOCHECKBOX, 0, 0, 1, 1
    RADIOBUTTON "o", 23, 0, 0, 1, 1
END
)");
        const rc::DialogTemplate& d = s.dialogs[0];
        const DWORD child = WS_CHILD | WS_VISIBLE;
        struct Expected {
            int id;
            const char* cls;
            DWORD style;
        } expected[] = {
                {10, "Static", SS_LEFT | WS_GROUP | child},
                {11, "Static", SS_CENTER | WS_GROUP | child},
                {12, "Static", SS_RIGHT | WS_GROUP | child},
                {13, "Button", BS_PUSHBUTTON | WS_TABSTOP | child},
                {14, "Button", BS_DEFPUSHBUTTON | WS_TABSTOP | child},
                {15, "Edit", ES_LEFT | WS_BORDER | WS_TABSTOP | child},
                {16, "ComboBox", CBS_SIMPLE | WS_TABSTOP | child},
                {17, "Button", BS_GROUPBOX | child},
                {18, "Button", BS_CHECKBOX | WS_TABSTOP | child},
                {19, "Button", BS_AUTOCHECKBOX | WS_TABSTOP | child},
                {20, "ListBox", LBS_NOTIFY | WS_BORDER | child},
                {21, "Static", SS_ICON | child},
                {22, "Button", BS_AUTOCHECKBOX | child},
                {23, "Button", BS_RADIOBUTTON | WS_TABSTOP | child},
        };
        QCOMPARE(d.controls.size(), std::size(expected));
        for (size_t i = 0; i < d.controls.size(); ++i) {
            QCOMPARE(d.controls[i].id, expected[i].id);  // template order kept
            QCOMPARE(d.controls[i].className, std::string(expected[i].cls));
            QCOMPARE(d.controls[i].style, expected[i].style);
        }
        QVERIFY(ControlOf(d, 21).textResource.has_value());
        QCOMPARE(*ControlOf(d, 21).textResource, rc::ResId::Number(128));
        QCOMPARE(ControlOf(d, 13).text, std::string("p"));
    }

    void notRemovesWhatAStatementGivesByDefault()
    {
        rc::Script s = Read(R"(#include "afxres.h"
1 DIALOGEX 0, 0, 100, 100
BEGIN
    PUSHBUTTON "p", 1, 2, 3, 4, 5, NOT WS_TABSTOP | WS_DISABLED, WS_EX_STATICEDGE
    LTEXT "hidden", 2, 0, 0, 1, 1, NOT WS_VISIBLE
    CONTROL "", 3, "Static", SS_ETCHEDHORZ | NOT WS_VISIBLE | WS_GROUP, 0, 0, 1, 1
    COMBOBOX 4, 0, 0, 1, 1, CBS_DROPDOWN | CBS_SORT | WS_VSCROLL
    COMBOBOX 5, 0, 0, 1, 1, WS_VSCROLL
    LTEXT "t", 6, 0, 0, 1, 1, SS_CENTERIMAGE
END
)");
        const rc::DialogTemplate& d = s.dialogs[0];
        QCOMPARE(ControlOf(d, 1).style, DWORD(BS_PUSHBUTTON | WS_DISABLED | WS_CHILD | WS_VISIBLE));
        QCOMPARE(ControlOf(d, 1).exStyle, DWORD(WS_EX_STATICEDGE));
        QCOMPARE(ControlOf(d, 1).x, 2);
        QCOMPARE(ControlOf(d, 1).cy, 5);
        QCOMPARE(ControlOf(d, 2).style & WS_VISIBLE, DWORD(0));
        QCOMPARE(ControlOf(d, 3).style, DWORD(SS_ETCHEDHORZ | WS_GROUP | WS_CHILD));
        // A kind given replaces the statement's default kind; other bits add.
        QCOMPARE(ControlOf(d, 4).style,
                DWORD(CBS_DROPDOWN | CBS_SORT | WS_VSCROLL | WS_TABSTOP | WS_CHILD | WS_VISIBLE));
        QCOMPARE(ControlOf(d, 5).style, DWORD(CBS_SIMPLE | WS_VSCROLL | WS_TABSTOP | WS_CHILD | WS_VISIBLE));
        QCOMPARE(ControlOf(d, 6).style, DWORD(SS_LEFT | SS_CENTERIMAGE | WS_GROUP | WS_CHILD | WS_VISIBLE));
    }

    void windowClassesByAnySpellingOrOrdinal()
    {
        rc::Script s = Read(R"(#include "afxres.h"
1 DIALOGEX 0, 0, 100, 100
BEGIN
    CONTROL "", 1, "button", BS_PUSHBUTTON, 0, 0, 1, 1
    CONTROL "", 2, "SYSLISTVIEW32", LVS_REPORT, 0, 0, 1, 1
    CONTROL "", 3, "msctls_progress32", PBS_SMOOTH, 0, 0, 1, 1
    CONTROL "", 4, "SysIPAddress32", 0, 0, 0, 1, 1
    CONTROL "", 5, EDIT, ES_NUMBER, 0, 0, 1, 1
    CONTROL "", 6, 0x82, SS_LEFT, 0, 0, 1, 1
    CONTROL "", 7, "SysTreeView32", 0, 0, 0, 1, 1
END
)");
        const rc::DialogTemplate& d = s.dialogs[0];
        QCOMPARE(ControlOf(d, 1).className, std::string("Button"));
        QCOMPARE(ControlOf(d, 2).className, std::string("SysListView32"));
        QCOMPARE(ControlOf(d, 2).style, DWORD(LVS_REPORT | WS_CHILD | WS_VISIBLE));
        QCOMPARE(ControlOf(d, 3).className, std::string("msctls_progress32"));
        QCOMPARE(ControlOf(d, 4).className, std::string("SysIPAddress32"));
        QCOMPARE(ControlOf(d, 5).className, std::string("Edit"));
        QCOMPARE(ControlOf(d, 6).className, std::string("Static"));
        QCOMPARE(ControlOf(d, 7).className, std::string("SysTreeView32"));  // read; creating it fails
    }

    void resourceHeaderDefinesAndConditionals()
    {
        std::string header = R"(#define IDC_BASE 1000
#define IDC_FIRST (IDC_BASE + 1)
#define IDC_SECOND IDC_FIRST + 1
#if defined(IDC_BASE) && IDC_BASE > 999
#define PICKED 1
#elif 1
#define PICKED 2
#else
#define PICKED 3
#endif
#ifndef IDC_BASE
#define PICKED 4
#endif
#define GONE 1
#undef GONE
#ifdef APSTUDIO_INVOKED
#define _APS_NEXT_RESOURCE_VALUE 129
#endif
)";
        rc::Script s = Read(R"(#include "resource.h"
#include "afxres.h"
#ifdef APSTUDIO_INVOKED
this is never read
#endif
#ifdef GONE
#error GONE is still defined
#endif
#if PICKED == 1
IDD_X DIALOGEX 0, 0, 10, 10
#else
IDD_Y DIALOGEX 0, 0, 10, 10
#endif
BEGIN
    EDITTEXT IDC_FIRST, 0, 0, 1, 1
    EDITTEXT IDC_SECOND * 2, 0, 0, 1, 1
    EDITTEXT IDC_STATIC, 0, 0, 1, 1
END
)",
                {{"resource.h", header}});
        QCOMPARE(s.dialogs[0].id, rc::ResId::Name("IDD_X"));
        QCOMPARE(s.dialogs[0].controls[0].id, 1001);
        QCOMPARE(s.dialogs[0].controls[1].id, 1001 + 1 * 2);  // a #define is text, as in C
        QCOMPARE(s.dialogs[0].controls[2].id, -1);
    }

    void commentsAndContinuationsAreNoText()
    {
        rc::Script s = Read(R"(#include "afxres.h" // the SDK's
/* a block comment
   over lines, with a "quote" and DIALOG in it */
1 DIALOGEX 0, 0, 100, 100 // trailing
BEGIN
    CONTROL "a // not a comment", 1, "Static", SS_LEFT, /* inline */ 0, 0, \
            1, 1
END
)");
        QCOMPARE(s.dialogs.size(), size_t(1));
        QCOMPARE(s.dialogs[0].controls.size(), size_t(1));
        QCOMPARE(s.dialogs[0].controls[0].text, std::string("a // not a comment"));
        QCOMPARE(s.dialogs[0].controls[0].cy, 1);
    }

    void otherResourcesAreSkippedWhole()
    {
        rc::Script s = Read(R"(#include "afxres.h"
LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US
#pragma code_page(1252)
1 TEXTINCLUDE
BEGIN
    "resource.h\0"
END
1 VERSIONINFO
 FILEVERSION 1,0,0,1
 FILEFLAGSMASK 0x3fL
BEGIN
    BLOCK "StringFileInfo"
    BEGIN
        VALUE "ProductName", "x"
    END
END
GUIDELINES DESIGNINFO
BEGIN
    102, DIALOG
    BEGIN
        LEFTMARGIN, 7
    END
END
2 RT_MANIFEST "app.manifest"
3 MENU
BEGIN
    POPUP "&File"
    BEGIN
        MENUITEM "E&xit", 1
    END
END
102 AFX_DIALOG_LAYOUT
BEGIN
    0
END
102 DIALOGEX 0, 0, 10, 10
BEGIN
    DEFPUSHBUTTON "OK", IDOK, 0, 0, 1, 1
END
)");
        QCOMPARE(s.dialogs.size(), size_t(1));
        QCOMPARE(s.dialogs[0].id, rc::ResId::Number(102));
        QCOMPARE(s.dialogs[0].controls[0].id, IDOK);
    }

    void stringTableAndIcons()
    {
        rc::Script s = Read(R"(#include "afxres.h"
128 ICON "res\\app.ico"
APP ICON DISCARDABLE "other.ico"
STRINGTABLE
BEGIN
    AFX_IDS_APP_TITLE "Title"
    5, "a ""quoted"" tab\there"
    6 "joined " "text"
END
)");
        QCOMPARE(s.icons.size(), size_t(2));
        QCOMPARE(s.FindIcon(rc::ResId::Number(128))->file, std::string("res/app.ico"));
        QCOMPARE(s.FindIcon(rc::ResId::Name("app"))->file, std::string("other.ico"));
        QCOMPARE(s.strings.at(AFX_IDS_APP_TITLE), std::string("Title"));
        QCOMPARE(s.strings.at(5), std::string("a \"quoted\" tab\there"));
        QCOMPARE(s.strings.at(6), std::string("joined text"));
    }

    void errorsNameTheLine()
    {
        std::string what;
        QCOMPARE(
                ErrorLine("#include \"afxres.h\"\n1 DIALOGEX 0, 0, 1, 1\nBEGIN\n  EDITTEXT IDC_TYPO, 0, 0, 1, 1\nEND\n",
                        &what),
                4);
        QVERIFY2(what.find("IDC_TYPO") != std::string::npos, what.c_str());
        QCOMPARE(ErrorLine("\n#include \"nosuch.h\"\n", &what), 2);
        QVERIFY2(what.find("nosuch.h") != std::string::npos, what.c_str());
        QCOMPARE(ErrorLine("1 DIALOGEX 0, 0, 1, 1\nCAPTION \"open\nBEGIN\nEND\n"), 2);
        QCOMPARE(ErrorLine("\n#if 1\n1 DIALOGEX 0, 0, 1, 1\nBEGIN\nEND\n"), 2);
        QCOMPARE(ErrorLine("1 DIALOGEX 0, 0, 1, 1\nWHATEVER 3\nBEGIN\nEND\n"), 2);
        QCOMPARE(ErrorLine("1 DIALOGEX 0, 0, 1, 1\nBEGIN\n  SLIDER 3, 0, 0, 1, 1\nEND\n"), 3);
        QVERIFY(ErrorLine("1 DIALOGEX 0, 0, 1, 1\nBEGIN\n") > 0);  // END missing
        QCOMPARE(ErrorLine("#error stop here\n", &what), 1);
        QVERIFY(what.find("stop here") != std::string::npos);
        // Include cycles end at the depth limit instead of recursing forever.
        try {
            rc::Parse("#include \"loop.h\"\n", "test.rc", Files({{"loop.h", "#include \"loop.h\"\n"}}));
            QFAIL("an include cycle was read");
        } catch (const rc::ParseError& e) {
            QVERIFY(std::string(e.what()).find("nests too deeply") != std::string::npos);
        }
    }

    void scriptsSavedAsUtf16AreRead()
    {
        std::string text = "1 DIALOGEX 0, 0, 1, 1\r\nCAPTION \"Caf\xC3\xA9\"\r\nBEGIN\r\nEND\r\n";
        QString wide = QString::fromUtf8(text.c_str());
        std::string raw = "\xFF\xFE";
        for (QChar c : wide) {
            raw += static_cast<char>(c.unicode() & 0xFF);
            raw += static_cast<char>(c.unicode() >> 8);
        }
        rc::Script s = rc::Parse(raw, "wide.rc", Files({}));
        QCOMPARE(s.dialogs[0].caption, std::string("Caf\xC3\xA9"));
    }

    // The test program's own script, as vlm_mfc_resources embedded it.
    void embeddedScriptOfThisProgram()
    {
        std::string why;
        const rc::DialogTemplate* sample = detail::FindDialogTemplate(rc::ResId::Number(IDD_SAMPLE), why);
        QVERIFY2(sample != nullptr, why.c_str());
        QCOMPARE(sample->caption, std::string("Sample Dialog"));
        QCOMPARE(sample->controls.size(), size_t(18));
        QCOMPARE(sample->controls.front().id, IDC_LIST);
        QCOMPARE(sample->controls.back().id, IDCANCEL);
        QVERIFY(detail::FindDialogTemplate(rc::ResId::Number(999), why) == nullptr);
        QVERIFY(why.find("999") != std::string::npos);
        QCOMPARE(detail::LoadStringResource(AFX_IDS_APP_TITLE).value_or(""), std::string("MFC Test Program"));
        QVERIFY(detail::LoadIconResource(rc::ResId::Number(IDI_TEST)) != nullptr);
        QVERIFY(detail::LoadIconResource(rc::ResId::Number(IDI_TEST + 1)) == nullptr);
    }
};

VLM_MFC_TEST_SUITE("templates", TemplatesTest);

#include "templates_test.moc"

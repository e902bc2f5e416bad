// CString with MFC's rules for positions, counts and buffers, and the
// geometry classes.
#include "mfc_tests.h"

#include <afxwin.h>

#include "resource.h"

#include <QTest>

class StringsTest : public QObject {
    Q_OBJECT

private slots:
    void formatAndCompare()
    {
        CString s;
        s.Format("%02x:%02x %d.%d", 0, 171, 192, 168);
        QCOMPARE(s, CString("00:ab 192.168"));
        QCOMPARE(s.GetLength(), 13);
        s.AppendFormat("-%s", "x");
        QCOMPARE(std::string(s), std::string("00:ab 192.168-x"));
        std::string big(5000, 'z');
        s.Format("%s!", big.c_str());
        QCOMPARE(s.GetLength(), 5001);
        QVERIFY(CString("COM10").Compare("COM2") < 0);
        QVERIFY(CString("abc").Compare("abc") == 0);
        QCOMPARE(CString("Not Assigned").CompareNoCase("not assigned"), 0);
        QVERIFY(CString("Not Assigned") != "not assigned");  // == is exact
        QVERIFY("COM3" == CString("COM3"));
        QVERIFY(CString().IsEmpty());
        QCOMPARE(CString(static_cast<LPCTSTR>(nullptr)).GetLength(), 0);
        QCOMPARE(CString('-', 3), CString("---"));
        QCOMPARE(CString("abcdef", 3), CString("abc"));
        CString joined = CString("a") + "b" + 'c' + CString("d");
        QCOMPARE(joined, CString("abcd"));
        joined += "e";
        joined += 'f';
        QCOMPARE(joined[5], 'f');
    }

    void partsClampAsMfcClamps()
    {
        CString s("COM12");
        QCOMPARE(s.Left(3), CString("COM"));
        QCOMPARE(s.Left(99), CString("COM12"));
        QCOMPARE(s.Left(-1), CString(""));
        QCOMPARE(s.Mid(3), CString("12"));
        QCOMPARE(s.Mid(3, 1), CString("1"));
        QCOMPARE(s.Mid(-2, 2), CString("CO"));
        QCOMPARE(s.Mid(9), CString(""));
        QCOMPARE(s.Mid(1, 99), CString("OM12"));
        QCOMPARE(s.Right(2), CString("12"));
        QCOMPARE(s.Right(7), CString("COM12"));
        QCOMPARE(CString("ab").Left(3), CString("ab"));  // a name shorter than its prefix
        QCOMPARE(s.Find('1'), 3);
        QCOMPARE(s.Find("M1"), 2);
        QCOMPARE(s.Find('1', 4), -1);
        QCOMPARE(s.Find('C', 9), -1);
        QCOMPARE(CString("a.b.c").ReverseFind('.'), 3);
        QCOMPARE(s.SpanIncluding("CMO"), CString("COM"));
        QCOMPARE(s.SpanExcluding("0123456789"), CString("COM"));
    }

    void trimReplaceAndEdits()
    {
        CString s("  \t text \n");
        QCOMPARE(s.Trim(), CString("text"));
        QCOMPARE(CString("xxaxx").Trim('x'), CString("a"));
        QCOMPARE(CString(".,a,.").TrimLeft(".,"), CString("a,."));
        QCOMPARE(CString("Aa").MakeUpper(), CString("AA"));
        QCOMPARE(CString("Aa").MakeLower(), CString("aa"));
        QCOMPARE(CString("abc").MakeReverse(), CString("cba"));
        CString r("a-b-c");
        QCOMPARE(r.Replace("-", "--"), 2);
        QCOMPARE(r, CString("a--b--c"));
        QCOMPARE(r.Remove('-'), 4);
        QCOMPARE(r.Insert(1, "XY"), 5);
        QCOMPARE(r, CString("aXYbc"));
        QCOMPARE(r.Delete(1, 2), 3);
        QCOMPARE(r, CString("abc"));
        r.SetAt(0, 'z');
        QCOMPARE(r.GetAt(0), 'z');
        CString list("a, b,,c");
        int pos = 0;
        std::vector<CString> tokens;
        for (CString t = list.Tokenize(", ", pos); pos != -1; t = list.Tokenize(", ", pos))
            tokens.push_back(t);
        QCOMPARE(tokens, (std::vector<CString>{"a", "b", "c"}));
    }

    void theBufferIsTheStrings()
    {
        CString s("old");
        char* buffer = s.GetBuffer(16);
        std::snprintf(buffer, 17, "%s", "192.168.1.10");
        s.ReleaseBuffer();
        QCOMPARE(s, CString("192.168.1.10"));
        buffer = s.GetBuffer(0);
        buffer[3] = '\0';
        s.ReleaseBuffer();  // up to the first zero
        QCOMPARE(s, CString("192"));
        std::memcpy(s.GetBufferSetLength(4), "COMx", 4);
        s.ReleaseBuffer(3);
        QCOMPARE(s, CString("COM"));
    }

    void stringsFromTheTable()
    {
        CString title;
        QVERIFY(title.LoadString(AFX_IDS_APP_TITLE));
        QCOMPARE(title, CString("MFC Test Program"));
        CString missing("kept");
        QVERIFY(!missing.LoadString(4242));
        QCOMPARE(missing, CString("kept"));
        QCOMPARE(CString(MAKEINTRESOURCE(AFX_IDS_APP_TITLE)), CString("MFC Test Program"));
        // The framework's prompts have texts of their own.
        QVERIFY(title.LoadString(AFX_IDP_PARSE_INT));
        QCOMPARE(title, CString("Enter an integer."));
    }

    void rectanglesAndPoints()
    {
        CRect r(10, 20, 110, 70);
        QCOMPARE(r.Width(), 100);
        QCOMPARE(r.Height(), 50);
        QCOMPARE(r.CenterPoint(), CPoint(60, 45));
        QVERIFY(r.PtInRect(CPoint(10, 20)));
        QVERIFY(!r.PtInRect(CPoint(110, 20)));
        r.OffsetRect(-10, -20);
        QCOMPARE(r.TopLeft(), CPoint(0, 0));
        r.DeflateRect(5, 5);
        QCOMPARE(r, CRect(5, 5, 95, 45));
        QVERIFY(CRect().IsRectEmpty());
        QVERIFY(CRect().IsRectNull());
    }
};

VLM_MFC_TEST_SUITE("strings", StringsTest);

#include "strings_test.moc"

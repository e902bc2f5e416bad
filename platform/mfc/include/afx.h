// The framework's core: CString (an ANSI build: characters are char), the
// geometry classes, exceptions and the diagnostic macros.
#pragma once

#include "vlm/mfc/windows_ui.h"

#include <cassert>
#include <cstdarg>
#include <cstring>
#include <string>

#define AFXAPI
#define PASCAL
#define AFX_CDECL
#define afx_msg

#ifdef NDEBUG
#define ASSERT(f) ((void)0)
#define VERIFY(f) ((void)(f))
#else
#define ASSERT(f) assert(f)
#define VERIFY(f) assert(f)
#endif
#define ASSERT_VALID(p) ASSERT((p) != nullptr)

// Debug builds write TRACE output to stderr; release builds drop it.
void AFX_CDECL AfxTrace(LPCTSTR lpszFormat, ...) __attribute__((format(printf, 1, 2)));
#ifdef NDEBUG
#define TRACE(...) ((void)0)
#else
#define TRACE(...) AfxTrace(__VA_ARGS__)
#endif

class CString {
public:
    CString() = default;
    CString(const CString&) = default;
    CString(CString&&) noexcept = default;
    // A string resource id given as MAKEINTRESOURCE loads that string.
    CString(LPCTSTR psz);
    CString(LPCTSTR pch, int nLength);
    explicit CString(TCHAR ch, int nRepeat = 1);
    ~CString() = default;

    CString& operator=(const CString&) = default;
    CString& operator=(CString&&) noexcept = default;
    CString& operator=(LPCTSTR psz);
    CString& operator=(TCHAR ch);

    int GetLength() const { return static_cast<int>(m_data.size()); }
    BOOL IsEmpty() const { return m_data.empty(); }
    void Empty() { m_data.clear(); }
    LPCTSTR GetString() const { return m_data.c_str(); }
    operator LPCTSTR() const { return m_data.c_str(); }

    TCHAR GetAt(int nIndex) const;
    void SetAt(int nIndex, TCHAR ch);
    TCHAR operator[](int nIndex) const { return GetAt(nIndex); }

    CString& operator+=(const CString& str);
    CString& operator+=(LPCTSTR psz);
    CString& operator+=(TCHAR ch);
    void Append(LPCTSTR psz) { *this += psz; }
    void AppendChar(TCHAR ch) { *this += ch; }

    // As strcmp and strcasecmp: negative, zero or positive.
    int Compare(LPCTSTR psz) const;
    int CompareNoCase(LPCTSTR psz) const;
    int Collate(LPCTSTR psz) const;

    void Format(LPCTSTR pszFormat, ...) __attribute__((format(printf, 2, 3)));
    void Format(UINT nFormatID, ...);
    void AppendFormat(LPCTSTR pszFormat, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(LPCTSTR pszFormat, va_list args) __attribute__((format(printf, 2, 0)));
    void AppendFormatV(LPCTSTR pszFormat, va_list args) __attribute__((format(printf, 2, 0)));

    // The string's own buffer, at least nMinBufferLength characters plus the
    // terminator; ReleaseBuffer ends its use (-1: up to the first zero).
    LPTSTR GetBuffer(int nMinBufferLength);
    LPTSTR GetBuffer() { return GetBuffer(0); }
    LPTSTR GetBufferSetLength(int nLength);
    void ReleaseBuffer(int nNewLength = -1);
    void ReleaseBufferSetLength(int nNewLength) { ReleaseBuffer(nNewLength); }

    CString Left(int nCount) const;
    CString Mid(int iFirst) const;
    CString Mid(int iFirst, int nCount) const;
    CString Right(int nCount) const;
    CString SpanIncluding(LPCTSTR pszCharSet) const;
    CString SpanExcluding(LPCTSTR pszCharSet) const;
    CString Tokenize(LPCTSTR pszTokens, int& iStart) const;

    CString& Trim();
    CString& Trim(TCHAR chTarget);
    CString& Trim(LPCTSTR pszTargets);
    CString& TrimLeft();
    CString& TrimLeft(TCHAR chTarget);
    CString& TrimLeft(LPCTSTR pszTargets);
    CString& TrimRight();
    CString& TrimRight(TCHAR chTarget);
    CString& TrimRight(LPCTSTR pszTargets);

    CString& MakeUpper();
    CString& MakeLower();
    CString& MakeReverse();

    int Find(TCHAR ch, int iStart = 0) const;
    int Find(LPCTSTR pszSub, int iStart = 0) const;
    int FindOneOf(LPCTSTR pszCharSet) const;
    int ReverseFind(TCHAR ch) const;

    int Replace(TCHAR chOld, TCHAR chNew);
    int Replace(LPCTSTR pszOld, LPCTSTR pszNew);
    int Remove(TCHAR chRemove);
    int Insert(int iIndex, TCHAR ch);
    int Insert(int iIndex, LPCTSTR psz);
    int Delete(int iIndex, int nCount = 1);

    // From the program's string table; FALSE (and the string unchanged)
    // when it holds no such string.
    BOOL LoadString(UINT nID);

private:
    std::string m_data;
};

typedef CString CStringA;

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, LPCTSTR b);
CString operator+(LPCTSTR a, const CString& b);
CString operator+(const CString& a, TCHAR b);
CString operator+(TCHAR a, const CString& b);

inline bool operator==(const CString& a, const CString& b)
{
    return a.Compare(b) == 0;
}
inline bool operator==(const CString& a, LPCTSTR b)
{
    return a.Compare(b) == 0;
}
inline bool operator==(LPCTSTR a, const CString& b)
{
    return b.Compare(a) == 0;
}
inline bool operator!=(const CString& a, const CString& b)
{
    return a.Compare(b) != 0;
}
inline bool operator!=(const CString& a, LPCTSTR b)
{
    return a.Compare(b) != 0;
}
inline bool operator!=(LPCTSTR a, const CString& b)
{
    return b.Compare(a) != 0;
}
inline bool operator<(const CString& a, const CString& b)
{
    return a.Compare(b) < 0;
}
inline bool operator<(const CString& a, LPCTSTR b)
{
    return a.Compare(b) < 0;
}
inline bool operator<(LPCTSTR a, const CString& b)
{
    return b.Compare(a) > 0;
}
inline bool operator>(const CString& a, const CString& b)
{
    return a.Compare(b) > 0;
}
inline bool operator>(const CString& a, LPCTSTR b)
{
    return a.Compare(b) > 0;
}
inline bool operator>(LPCTSTR a, const CString& b)
{
    return b.Compare(a) < 0;
}
inline bool operator<=(const CString& a, const CString& b)
{
    return a.Compare(b) <= 0;
}
inline bool operator>=(const CString& a, const CString& b)
{
    return a.Compare(b) >= 0;
}

class CSize : public tagSIZE {
public:
    CSize() : tagSIZE{0, 0} { }
    CSize(int initCX, int initCY) : tagSIZE{initCX, initCY} { }
    CSize(SIZE initSize) : tagSIZE(initSize) { }
    bool operator==(SIZE size) const { return cx == size.cx && cy == size.cy; }
    bool operator!=(SIZE size) const { return !(*this == size); }
};

class CPoint : public tagPOINT {
public:
    CPoint() : tagPOINT{0, 0} { }
    CPoint(int initX, int initY) : tagPOINT{initX, initY} { }
    CPoint(POINT initPt) : tagPOINT(initPt) { }
    void Offset(int xOffset, int yOffset)
    {
        x += xOffset;
        y += yOffset;
    }
    bool operator==(POINT point) const { return x == point.x && y == point.y; }
    bool operator!=(POINT point) const { return !(*this == point); }
    operator LPPOINT() { return this; }
};

class CRect : public tagRECT {
public:
    CRect() : tagRECT{0, 0, 0, 0} { }
    CRect(int l, int t, int r, int b) : tagRECT{l, t, r, b} { }
    CRect(const RECT& srcRect) : tagRECT(srcRect) { }
    CRect(LPCRECT lpSrcRect) : tagRECT(*lpSrcRect) { }
    CRect(POINT point, SIZE size) : tagRECT{point.x, point.y, point.x + size.cx, point.y + size.cy} { }
    CRect(POINT topLeft, POINT bottomRight) : tagRECT{topLeft.x, topLeft.y, bottomRight.x, bottomRight.y} { }

    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    CSize Size() const { return CSize(Width(), Height()); }
    CPoint TopLeft() const { return CPoint(left, top); }
    CPoint BottomRight() const { return CPoint(right, bottom); }
    CPoint CenterPoint() const { return CPoint((left + right) / 2, (top + bottom) / 2); }
    BOOL IsRectEmpty() const { return right <= left || bottom <= top; }
    BOOL IsRectNull() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
    BOOL PtInRect(POINT point) const
    {
        return point.x >= left && point.x < right && point.y >= top && point.y < bottom;
    }
    void SetRect(int x1, int y1, int x2, int y2)
    {
        left = x1;
        top = y1;
        right = x2;
        bottom = y2;
    }
    void SetRectEmpty() { SetRect(0, 0, 0, 0); }
    void OffsetRect(int x, int y)
    {
        left += x;
        right += x;
        top += y;
        bottom += y;
    }
    void InflateRect(int x, int y)
    {
        left -= x;
        right += x;
        top -= y;
        bottom += y;
    }
    void DeflateRect(int x, int y) { InflateRect(-x, -y); }
    bool operator==(const RECT& r) const
    {
        return left == r.left && top == r.top && right == r.right && bottom == r.bottom;
    }
    bool operator!=(const RECT& r) const { return !(*this == r); }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

// Exceptions are thrown by value and caught by reference.
class CException {
public:
    virtual ~CException() = default;
};

// Thrown by CDataExchange::Fail after the user has been told what was
// wrong; UpdateData catches it and returns FALSE.
class CUserException : public CException { };

class CNotSupportedException : public CException { };

[[noreturn]] void AFXAPI AfxThrowUserException();
[[noreturn]] void AFXAPI AfxThrowNotSupportedException();

// CString with MFC's rules for positions and counts: a start before the
// string is its beginning, a count past its end stops at the end.
#include <afx.h>

#include "rc/resources.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <strings.h>

namespace {

bool IsSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

CString::CString(LPCTSTR psz)
{
    if (psz == nullptr)
        return;
    if (IS_INTRESOURCE(psz)) {
        LoadString(LOWORD(reinterpret_cast<ULONG_PTR>(psz)));
        return;
    }
    m_data = psz;
}

CString::CString(LPCTSTR pch, int nLength)
{
    if (pch != nullptr && nLength > 0)
        m_data.assign(pch, static_cast<size_t>(nLength));
}

CString::CString(TCHAR ch, int nRepeat)
{
    if (nRepeat > 0)
        m_data.assign(static_cast<size_t>(nRepeat), ch);
}

CString& CString::operator=(LPCTSTR psz)
{
    m_data = psz != nullptr ? psz : "";
    return *this;
}

CString& CString::operator=(TCHAR ch)
{
    m_data.assign(1, ch);
    return *this;
}

TCHAR CString::GetAt(int nIndex) const
{
    ASSERT(nIndex >= 0 && nIndex <= GetLength());
    return nIndex >= 0 && nIndex < GetLength() ? m_data[static_cast<size_t>(nIndex)] : '\0';
}

void CString::SetAt(int nIndex, TCHAR ch)
{
    ASSERT(nIndex >= 0 && nIndex < GetLength());
    if (nIndex >= 0 && nIndex < GetLength())
        m_data[static_cast<size_t>(nIndex)] = ch;
}

CString& CString::operator+=(const CString& str)
{
    m_data += str.m_data;
    return *this;
}

CString& CString::operator+=(LPCTSTR psz)
{
    if (psz != nullptr)
        m_data += psz;
    return *this;
}

CString& CString::operator+=(TCHAR ch)
{
    m_data += ch;
    return *this;
}

int CString::Compare(LPCTSTR psz) const
{
    return std::strcmp(m_data.c_str(), psz != nullptr ? psz : "");
}

int CString::CompareNoCase(LPCTSTR psz) const
{
    return strcasecmp(m_data.c_str(), psz != nullptr ? psz : "");
}

int CString::Collate(LPCTSTR psz) const
{
    return std::strcoll(m_data.c_str(), psz != nullptr ? psz : "");
}

void CString::Format(LPCTSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void CString::Format(UINT nFormatID, ...)
{
    CString format;
    if (!format.LoadString(nFormatID))
        return;
    va_list args;
    va_start(args, nFormatID);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    FormatV(format, args);
#pragma GCC diagnostic pop
    va_end(args);
}

void CString::AppendFormat(LPCTSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    AppendFormatV(pszFormat, args);
    va_end(args);
}

void CString::FormatV(LPCTSTR pszFormat, va_list args)
{
    m_data.clear();
    AppendFormatV(pszFormat, args);
}

void CString::AppendFormatV(LPCTSTR pszFormat, va_list args)
{
    va_list measure;
    va_copy(measure, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int length = std::vsnprintf(nullptr, 0, pszFormat, measure);
    va_end(measure);
    if (length <= 0)
        return;
    size_t start = m_data.size();
    m_data.resize(start + static_cast<size_t>(length) + 1);
    std::vsnprintf(m_data.data() + start, static_cast<size_t>(length) + 1, pszFormat, args);
#pragma GCC diagnostic pop
    m_data.resize(start + static_cast<size_t>(length));
}

LPTSTR CString::GetBuffer(int nMinBufferLength)
{
    if (nMinBufferLength > GetLength())
        m_data.resize(static_cast<size_t>(nMinBufferLength), '\0');
    return m_data.data();
}

LPTSTR CString::GetBufferSetLength(int nLength)
{
    m_data.resize(static_cast<size_t>(std::max(nLength, 0)), '\0');
    return m_data.data();
}

void CString::ReleaseBuffer(int nNewLength)
{
    if (nNewLength < 0)
        nNewLength = static_cast<int>(strnlen(m_data.c_str(), m_data.size()));
    m_data.resize(static_cast<size_t>(std::min(nNewLength, GetLength())));
}

CString CString::Left(int nCount) const
{
    nCount = std::clamp(nCount, 0, GetLength());
    return CString(m_data.c_str(), nCount);
}

CString CString::Mid(int iFirst) const
{
    return Mid(iFirst, GetLength());
}

CString CString::Mid(int iFirst, int nCount) const
{
    iFirst = std::max(iFirst, 0);
    nCount = std::max(nCount, 0);
    if (iFirst >= GetLength())
        return CString();
    nCount = std::min(nCount, GetLength() - iFirst);
    return CString(m_data.c_str() + iFirst, nCount);
}

CString CString::Right(int nCount) const
{
    nCount = std::clamp(nCount, 0, GetLength());
    return CString(m_data.c_str() + (GetLength() - nCount), nCount);
}

CString CString::SpanIncluding(LPCTSTR pszCharSet) const
{
    return Left(static_cast<int>(std::strspn(m_data.c_str(), pszCharSet)));
}

CString CString::SpanExcluding(LPCTSTR pszCharSet) const
{
    return Left(static_cast<int>(std::strcspn(m_data.c_str(), pszCharSet)));
}

CString CString::Tokenize(LPCTSTR pszTokens, int& iStart) const
{
    if (iStart < 0 || iStart >= GetLength()) {
        iStart = -1;
        return CString();
    }
    size_t from = m_data.find_first_not_of(pszTokens, static_cast<size_t>(iStart));
    if (from == std::string::npos) {
        iStart = -1;
        return CString();
    }
    size_t to = m_data.find_first_of(pszTokens, from);
    if (to == std::string::npos)
        to = m_data.size();
    iStart = static_cast<int>(to) + 1;
    return CString(m_data.c_str() + from, static_cast<int>(to - from));
}

CString& CString::Trim()
{
    return TrimRight().TrimLeft();
}

CString& CString::Trim(TCHAR chTarget)
{
    return TrimRight(chTarget).TrimLeft(chTarget);
}

CString& CString::Trim(LPCTSTR pszTargets)
{
    return TrimRight(pszTargets).TrimLeft(pszTargets);
}

CString& CString::TrimLeft()
{
    auto it = std::find_if_not(m_data.begin(), m_data.end(), IsSpace);
    m_data.erase(m_data.begin(), it);
    return *this;
}

CString& CString::TrimLeft(TCHAR chTarget)
{
    m_data.erase(0, m_data.find_first_not_of(chTarget));
    return *this;
}

CString& CString::TrimLeft(LPCTSTR pszTargets)
{
    m_data.erase(0, m_data.find_first_not_of(pszTargets));
    return *this;
}

CString& CString::TrimRight()
{
    while (!m_data.empty() && IsSpace(m_data.back()))
        m_data.pop_back();
    return *this;
}

CString& CString::TrimRight(TCHAR chTarget)
{
    while (!m_data.empty() && m_data.back() == chTarget)
        m_data.pop_back();
    return *this;
}

CString& CString::TrimRight(LPCTSTR pszTargets)
{
    while (!m_data.empty() && std::strchr(pszTargets, m_data.back()) != nullptr)
        m_data.pop_back();
    return *this;
}

CString& CString::MakeUpper()
{
    for (char& c : m_data)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return *this;
}

CString& CString::MakeLower()
{
    for (char& c : m_data)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return *this;
}

CString& CString::MakeReverse()
{
    std::reverse(m_data.begin(), m_data.end());
    return *this;
}

int CString::Find(TCHAR ch, int iStart) const
{
    if (iStart < 0 || iStart > GetLength())
        return -1;
    size_t at = m_data.find(ch, static_cast<size_t>(iStart));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Find(LPCTSTR pszSub, int iStart) const
{
    if (pszSub == nullptr || iStart < 0 || iStart > GetLength())
        return -1;
    size_t at = m_data.find(pszSub, static_cast<size_t>(iStart));
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::FindOneOf(LPCTSTR pszCharSet) const
{
    size_t at = m_data.find_first_of(pszCharSet);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::ReverseFind(TCHAR ch) const
{
    size_t at = m_data.rfind(ch);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

int CString::Replace(TCHAR chOld, TCHAR chNew)
{
    int count = 0;
    for (char& c : m_data) {
        if (c == chOld) {
            c = chNew;
            ++count;
        }
    }
    return count;
}

int CString::Replace(LPCTSTR pszOld, LPCTSTR pszNew)
{
    if (pszOld == nullptr || *pszOld == '\0')
        return 0;
    std::string from = pszOld, to = pszNew != nullptr ? pszNew : "";
    int count = 0;
    for (size_t at = m_data.find(from); at != std::string::npos; at = m_data.find(from, at + to.size())) {
        m_data.replace(at, from.size(), to);
        ++count;
    }
    return count;
}

int CString::Remove(TCHAR chRemove)
{
    size_t before = m_data.size();
    m_data.erase(std::remove(m_data.begin(), m_data.end(), chRemove), m_data.end());
    return static_cast<int>(before - m_data.size());
}

int CString::Insert(int iIndex, TCHAR ch)
{
    iIndex = std::clamp(iIndex, 0, GetLength());
    m_data.insert(static_cast<size_t>(iIndex), 1, ch);
    return GetLength();
}

int CString::Insert(int iIndex, LPCTSTR psz)
{
    iIndex = std::clamp(iIndex, 0, GetLength());
    if (psz != nullptr)
        m_data.insert(static_cast<size_t>(iIndex), psz);
    return GetLength();
}

int CString::Delete(int iIndex, int nCount)
{
    iIndex = std::max(iIndex, 0);
    if (nCount > 0 && iIndex < GetLength())
        m_data.erase(static_cast<size_t>(iIndex), static_cast<size_t>(nCount));
    return GetLength();
}

BOOL CString::LoadString(UINT nID)
{
    std::optional<std::string> text = vlm::mfc::detail::LoadStringResource(nID);
    if (!text)
        return FALSE;
    m_data = *text;
    return TRUE;
}

CString operator+(const CString& a, const CString& b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(const CString& a, LPCTSTR b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(LPCTSTR a, const CString& b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(const CString& a, TCHAR b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(TCHAR a, const CString& b)
{
    CString s(a);
    s += b;
    return s;
}

void AFX_CDECL AfxTrace(LPCTSTR lpszFormat, ...)
{
    va_list args;
    va_start(args, lpszFormat);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vfprintf(stderr, lpszFormat, args);
#pragma GCC diagnostic pop
    va_end(args);
}

void AFXAPI AfxThrowUserException()
{
    throw CUserException();
}

void AFXAPI AfxThrowNotSupportedException()
{
    throw CNotSupportedException();
}

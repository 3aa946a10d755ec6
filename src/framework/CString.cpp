#include "CString.h"

#include <cstring>

CString::CString(const char* psz) : m_str(psz ? psz : "") {}

CString::CString(const char* pch, int nLength)
    : m_str(pch && nLength > 0 ? std::string(pch, static_cast<size_t>(nLength)) : std::string()) {}

CString::CString(char ch, int nRepeat) : m_str(nRepeat > 0 ? static_cast<size_t>(nRepeat) : 0, ch) {}

CString& CString::operator=(const char* psz)
{
    m_str = psz ? psz : "";
    return *this;
}

CString& CString::operator+=(const CString& str)
{
    m_str += str.m_str;
    return *this;
}

CString& CString::operator+=(const char* psz)
{
    if (psz)
        m_str += psz;
    return *this;
}

CString& CString::operator+=(char ch)
{
    m_str += ch;
    return *this;
}

int CString::Find(char ch, int nStart) const
{
    if (nStart < 0 || nStart > GetLength())
        return -1;
    const size_t i = m_str.find(ch, static_cast<size_t>(nStart));
    return i == std::string::npos ? -1 : static_cast<int>(i);
}

int CString::Find(const char* pszSub, int nStart) const
{
    if (!pszSub || nStart < 0 || nStart > GetLength())
        return -1;
    const size_t i = m_str.find(pszSub, static_cast<size_t>(nStart));
    return i == std::string::npos ? -1 : static_cast<int>(i);
}

int CString::ReverseFind(char ch) const
{
    const size_t i = m_str.rfind(ch);
    return i == std::string::npos ? -1 : static_cast<int>(i);
}

CString CString::Left(int nCount) const
{
    if (nCount <= 0)
        return CString();
    return CString(m_str.c_str(), nCount < GetLength() ? nCount : GetLength());
}

CString CString::Mid(int nFirst) const
{
    return Mid(nFirst, GetLength());
}

CString CString::Mid(int nFirst, int nCount) const
{
    if (nFirst < 0)
        nFirst = 0;
    if (nFirst >= GetLength() || nCount <= 0)
        return CString();
    const int nAvailable = GetLength() - nFirst;
    return CString(m_str.c_str() + nFirst, nCount < nAvailable ? nCount : nAvailable);
}

CString CString::Right(int nCount) const
{
    if (nCount <= 0)
        return CString();
    if (nCount >= GetLength())
        return *this;
    return CString(m_str.c_str() + GetLength() - nCount, nCount);
}

CString operator+(const CString& a, const CString& b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(const CString& a, const char* b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(const char* a, const CString& b)
{
    CString s(a);
    s += b;
    return s;
}

CString operator+(const CString& a, char b)
{
    CString s(a);
    s += b;
    return s;
}

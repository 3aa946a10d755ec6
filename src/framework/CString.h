#pragma once
// The program's string: a counted, NUL-terminated 8-bit string of the ANSI
// code page with value semantics. Free of windows.h so that the text handling
// built on it also compiles and runs on Linux.

#include <string>

// windows.h maps LoadString to LoadStringA; the member keeps its own name.
#ifdef LoadString
#undef LoadString
#endif

class CString {
public:
    CString() = default;
    CString(const char* psz);
    CString(const char* pch, int nLength);
    CString(char ch, int nRepeat = 1);

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    const char* GetString() const { return m_str.c_str(); }
    operator const char*() const { return m_str.c_str(); }
    char GetAt(int nIndex) const { return m_str[static_cast<size_t>(nIndex)]; }
    char operator[](int nIndex) const { return GetAt(nIndex); }

    CString& operator=(const char* psz);
    CString& operator+=(const CString& str);
    CString& operator+=(const char* psz);
    CString& operator+=(char ch);

    // Plain, case-sensitive searches; -1 when not found.
    int Find(char ch, int nStart = 0) const;
    int Find(const char* pszSub, int nStart = 0) const;
    int ReverseFind(char ch) const;

    // Out-of-range counts are clamped, as callers cut texts at found indices.
    CString Left(int nCount) const;
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Right(int nCount) const;

    // Loads a text of the program's string table; FALSE when it has none.
    // Defined with the platform code (CString_win.cpp).
    bool LoadString(unsigned int nID);

    friend bool operator==(const CString& a, const CString& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CString& a, const char* b) { return a.m_str == (b ? b : ""); }

private:
    std::string m_str;
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, const char* b);
CString operator+(const char* a, const CString& b);
CString operator+(const CString& a, char b);

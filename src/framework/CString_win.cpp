#include "CString.h"

#include "Win32.h"

bool CString::LoadString(unsigned int nID)
{
    // String-table entries are stored as UTF-16; LoadStringA converts to the
    // ANSI code page. 1024 bytes hold every text of our table with room.
    char szBuffer[1024];
    const int nLength = ::LoadStringA(::GetModuleHandleA(nullptr), nID, szBuffer, sizeof(szBuffer));
    if (nLength <= 0) {
        Empty();
        return false;
    }
    *this = CString(szBuffer, nLength);
    return true;
}

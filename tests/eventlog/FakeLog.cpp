// Stand-ins for QbLog.dll with a chosen set of exports, so that the binding
// can be tested with libraries that lack some of them. The recording variant
// keeps the last record for the test to read back.

#include <string>

#include "QbLog.h"

extern "C" {

#ifdef EXPORT_SETLOGFILE
__declspec(dllexport) void SetLogFile(const char*) {}
#endif

#ifdef EXPORT_SETLOGLEVEL
__declspec(dllexport) void SetLogLevel(int) {}
#endif

#ifdef EXPORT_WRITELOG
static const QbLogSource* g_pLastSource;
static int g_nLastLevel = -1;
static std::string g_strLastText;
static int g_nLastLine = -1;

__declspec(dllexport) int WriteLog(const QbLogSource* pSource, int nLevel, const char* pszText, int nLine)
{
    g_pLastSource = pSource;
    g_nLastLevel = nLevel;
    g_strLastText = pszText ? pszText : "<null>";
    g_nLastLine = nLine;
    return 42;
}

__declspec(dllexport) void LastRecord(const QbLogSource** ppSource, int* pnLevel, const char** ppszText, int* pnLine)
{
    *ppSource = g_pLastSource;
    *pnLevel = g_nLastLevel;
    *ppszText = g_strLastText.c_str();
    *pnLine = g_nLastLine;
}
#endif
}

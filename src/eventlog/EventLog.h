#pragma once
// Binding of the suite's event-log library, QbLog.dll, loaded at run time.
// Without the library every LogEvent is a no-op returning 0.

// Names the program and the source module of a record. The fourth text is
// always empty; the library's record layout has room for it.
struct LogSource {
    const char* pszProgram;
    const char* pszVersion;
    const char* pszModule;
    const char* pszReserved;
};

int LoadLogLibrary();   // BOOL
int UnloadLogLibrary(); // BOOL: TRUE if a library was released
int LogEvent(const LogSource* pSource, int nLevel, const char* pszText, int nLine);

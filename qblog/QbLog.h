#pragma once
// QbLog.dll, the suite's event-log library. Programs bind these exports at
// run time (LoadLibrary/GetProcAddress); see README.md for the log format.

#ifdef __cplusplus
extern "C" {
#endif

// Names the program and source module of a record. All texts are in the
// ANSI code page; any of them may be null.
typedef struct QbLogSource {
    const char* pszProgram;  // program file name, e.g. "Updater.exe"
    const char* pszVersion;  // program version, e.g. "1.0"
    const char* pszModule;   // source module, e.g. "UpdaterDlg"
    const char* pszReserved; // always empty; not written
} QbLogSource;

// Appends one record; 1 when it was written, 0 when filtered out or failed.
int WriteLog(const QbLogSource* pSource, int nLevel, const char* pszText, int nLine);
// Records with a level above nLevel are dropped. Default: none are.
void SetLogLevel(int nLevel);
// Later records go to pszPath; null or "" returns to the default file.
void SetLogFile(const char* pszPath);

#ifdef __cplusplus
}
#endif

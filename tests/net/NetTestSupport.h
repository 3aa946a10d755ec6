#pragma once
// Shared pieces of the network tests: the socket layer, the user's proxy
// settings in the test prefix, the event-log records, a refusing port.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

void StartSockets();

// Sets ProxyEnable/ProxyServer of the current user's Internet settings for
// the test's lifetime and restores what was there before.
class ProxySettings {
public:
    ProxySettings(std::optional<DWORD> nEnable, std::optional<std::string> strServer);
    ~ProxySettings();
    ProxySettings(const ProxySettings&) = delete;
    ProxySettings& operator=(const ProxySettings&) = delete;

    static void SetRaw(const char* pszName, DWORD nType, const void* pData, DWORD nSize);
    static void Remove(const char* pszName);

private:
    struct Saved {
        bool bPresent = false;
        DWORD nType = 0;
        std::vector<BYTE> data;
    };
    static Saved Save(const char* pszName);
    static void Restore(const char* pszName, const Saved& saved);

    Saved m_enable;
    Saved m_server;
};

// Binds the real event-log library beside the test and sends its records to
// a file of this test run.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    // The records written since construction, one JSON line each.
    std::vector<std::string> Records() const;

private:
    std::string m_strPath;
};

// A JSON text as the log writes it: quotes and backslashes escaped.
std::string JsonText(const std::string& text);

// A port on 127.0.0.1 where nothing listens: a connect is refused.
int RefusingPort();

// The port of a proxy that a test fixture started: the fixture writes it
// into a file of the build tree, whose Linux path the environment variable
// names. 0 when there is none.
int ProxyPortOf(const char* pszPortFileVariable);

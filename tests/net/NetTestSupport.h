#pragma once
// Shared pieces of the network tests: the socket layer, the event-log
// records, the owner of a connection, the ports of the fixtures' proxies.

#include <string>
#include <vector>

#include "support/LogRecords.h"

void StartSockets();

// Binds the real event-log library beside the test and sends its records to
// a file of this test run.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    // The records written since construction.
    std::vector<LogRecord> Records() const { return ReadLogRecords(m_strPath); }

private:
    std::string m_strPath;
};

// The owner of a CHttpInterface: what its callbacks saw.
struct Owner {
    std::string data;
    std::vector<int> closes;
    bool bInRequest = false;
    bool bClosedInsideRequest = false;

    static void OnData(const char* pData, int nLength, void* pContext);
    static void OnClose(int nErrorCode, void* pContext);
};

// The port of a proxy that a test fixture started: the fixture writes it
// into a file of the build tree, whose Linux path the environment variable
// names. 0 when there is none.
int ProxyPortOf(const char* pszPortFileVariable);

// The TLS fixture's folder (Windows form of TLS_FIXTURE_DIR), whose www
// folder its servers serve; empty when there is none.
std::string TlsFixtureFolder();
// The port of one of the TLS fixture's servers, by its name in tls.ports
// ("good", "other-name", "expired", "self-signed", "untrusted-ca", "plain",
// "origin"); 0 when there is none.
int TlsPortOf(const std::string& strName);

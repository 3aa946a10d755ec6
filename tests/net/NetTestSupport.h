#pragma once
// Shared pieces of the network tests: the socket layer, the event-log
// records, the owner of a connection; and the fixtures' servers.

#include <string>
#include <vector>

#include "support/Fixtures.h"
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

#include "NetTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "eventlog/EventLog.h"
#include "framework/Socket.h"
#include "support/Files.h"

void StartSockets()
{
    static const BOOL bStarted = AfxSocketInit();
    ASSERT_TRUE(bStarted);
}

LogCapture::LogCapture()
{
    static const int bBound = LoadLogLibrary();
    EXPECT_TRUE(bBound) << "QbLog.dll beside the test";
    char szFolder[MAX_PATH];
    GetTempPathA(sizeof(szFolder), szFolder);
    char szPath[MAX_PATH];
    GetTempFileNameA(szFolder, "log", 0, szPath);
    m_strPath = szPath;
    const auto pfnSetLogFile = reinterpret_cast<void (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("QbLog.dll"), "SetLogFile")));
    EXPECT_NE(pfnSetLogFile, nullptr);
    if (pfnSetLogFile)
        pfnSetLogFile(m_strPath.c_str());
}

LogCapture::~LogCapture()
{
    DeleteFileA(m_strPath.c_str());
}

void Owner::OnData(const char* pData, int nLength, void* pContext)
{
    static_cast<Owner*>(pContext)->data.append(pData, static_cast<size_t>(nLength));
}

void Owner::OnClose(int nErrorCode, void* pContext)
{
    auto* self = static_cast<Owner*>(pContext);
    self->closes.push_back(nErrorCode);
    self->bClosedInsideRequest = self->bInRequest;
}

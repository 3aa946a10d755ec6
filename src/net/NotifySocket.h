#pragma once
// A blocking stream socket that reports received blocks and the end of the
// connection to two plain callbacks with a context pointer, and sets its
// send and receive timeouts when it connects.

#include "framework/Socket.h"

typedef void (*DataCallback)(const char* pData, int nLength, void* pContext);
typedef void (*CloseCallback)(int nErrorCode, void* pContext);

class CNotifySocket : public CSocket {
public:
    CNotifySocket(DataCallback pfnData, CloseCallback pfnClose, void* pContext, int nTimeout);
    ~CNotifySocket() override;

    int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
    int Send(const void* lpBuf, int nBufLen, int nFlags = 0) override;
    void OnReceive(int nErrorCode) override;
    void OnSend(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

protected:
    int m_nTimeout;
    DataCallback m_pfnData;
    CloseCallback m_pfnClose;
    void* m_pContext;
};

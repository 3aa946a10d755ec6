#pragma once
// The transfer of one URL: its request, and for every redirect that is
// followed the request of the next URL, each hop on a connection object of
// its own with the route asked anew. A server that asks for sign-in (401)
// is answered on a hop of its own, when the rules of whom to sign in to
// allow it. The receiver hears of the last answer only: its head, its body
// and its end.

#include <cstdint>
#include <memory>
#include <string>

#include "framework/CString.h"
#include "framework/PostedCall.h"
#include "ResponseReader.h"

class CHttpInterface;
class CSignIn;
class CUrlParser;

class CHttpTransfer final : public CResponseReceiver {
public:
    CHttpTransfer(CResponseReceiver& receiver, int nTimeout, const CString& strHttpVersion);
    ~CHttpTransfer();
    CHttpTransfer(const CHttpTransfer&) = delete;
    CHttpTransfer& operator=(const CHttpTransfer&) = delete;

    // 1 when the first request has been written; -1 when it failed, and a
    // failed connect has then reached the receiver as the end, before this
    // returns.
    int Request(const CUrlParser& url);
    // The hop whose URL is strUrl asks for the bytes from nFrom on, if the
    // file still has the validator; before Request. The other hops ask as
    // before.
    void ResumeAt(const CString& strUrl, uint64_t nFrom, const std::string& validator);
    // The hosts beyond the setting's own that may receive the user's
    // sign-in (the "SignInServers" list); before Request.
    void SetSignInServers(const CString& strList) { m_strSignInServers = strList; }
    // Whether the current hop asked for the rest of a file.
    bool RangeAsked() const { return m_bRangeAsked; }
    // The URL of the current hop's request.
    const CString& Url() const { return m_strUrl; }
    // Ends the transfer at whichever hop it is, one being set up included;
    // the receiver hears nothing more.
    void Close();

    // The connection of the current hop; null before the first.
    CHttpInterface* Connection() const { return m_pConnection.get(); }

    // Redirects followed in one transfer at most, as WinHTTP bounds them.
    static const int kMaxRedirects = 10;

private:
    static void OnConnectionData(const char* pData, int nLength, void* pContext);
    static void OnConnectionClosed(int nErrorCode, void* pContext);

    // The reader's account of the hop's answer, handed on unless it is a
    // redirect that is followed.
    void OnResponseHead(const ResponseHead& head) override;
    void OnTransferData(const char* pData, int nLength) override;
    void OnTransferClosed(int nErrorCode, bool bComplete) override;

    int StartHop(const CUrlParser& url);
    bool FollowRedirect(const ResponseHead& head);
    bool SignInAgain(const ResponseHead& head);
    void StartNextHop();

    CResponseReceiver& m_receiver;
    int m_nTimeout;
    CString m_strHttpVersion;
    std::unique_ptr<CHttpInterface> m_pConnection;
    std::unique_ptr<CResponseReader> m_pReader;
    CString m_strUrl;     // of the current hop's request
    CString m_strNextUrl; // of the hop that a redirect has asked for
    CString m_strResumeUrl;
    uint64_t m_nResumeFrom = 0;
    std::string m_resumeValidator;
    bool m_bRangeAsked = false;
    CString m_strSettingHost; // of the first URL, which the setting names
    CString m_strSignInServers;
    std::unique_ptr<CSignIn> m_pServerSignIn; // for the host that asked last
    CString m_strSignInHost;
    std::string m_authorization; // for the next hop's request to that host
    int m_nSignIns = 0;
    int m_nRedirects = 0;
    bool m_bRedirected = false; // the current hop's answer is not the receiver's: a redirect or a sign-in
    bool m_bEnded = false;      // the receiver has heard of the end
    bool m_bClosed = false;
    // The next hop starts from a message of its own, after the notification
    // that found the redirect has returned, so that its connection is
    // deleted outside its own handlers.
    CPostedCall m_nextHop;
};

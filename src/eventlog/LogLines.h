#pragma once
// The source line of each event-log record the program writes: a fixed
// number per report site, which the suite's log readers know it by.

enum LogLine {
    LOG_LINE_POLICY_IGNORED = 212,     // UpdaterDlg: "The policy value %s under %s is ignored: %s"
    LOG_LINE_UPDATES_TURNED_OFF = 217, // UpdaterDlg: string 110
    LOG_LINE_UPDATE_IN_PROGRESS = 221, // UpdaterDlg: "Another update of %s is in progress"
    LOG_LINE_UPDATE_LOCK_FAILED = 223, // UpdaterDlg: "Updates of %s are not kept apart: error %lu"
    LOG_LINE_WRITE_ERROR = 335,        // UpdaterDlg: "Error writing to %s: %s"
    LOG_LINE_CONNECT_ERROR = 405,      // HttpInterface: "Error %d connecting to host: '%s'"
    LOG_LINE_PROXY_SCRIPT_NOT_USED = 431, // ProxyScript: "Proxy configuration script %s not used, ...: %s"
    LOG_LINE_CONNECTION_SETTINGS_IGNORED = 433, // ProxyScript: "The connection settings %s are ignored: %s"
    LOG_LINE_PROXY_DETECTION_NOT_USED = 435,    // ProxyScript: "Automatic proxy detection not used, ...: %s"
    LOG_LINE_PROXY_SIGN_IN_FAILED = 447,  // HttpInterface: "Sign-in to the proxy %s failed: %s"
    LOG_LINE_SERVER_SIGN_IN_FAILED = 449, // HttpInterface: "Sign-in to the server %s failed: %s" (or "not attempted: %s")
    LOG_LINE_REDIRECTED = 452,            // HttpInterface: "Redirected with %d to %s"
    LOG_LINE_REDIRECT_NOT_FOLLOWED = 458, // HttpInterface: "Redirect with %d to %s not followed: %s"
    LOG_LINE_SOCKET_FILE_ERROR = 478,  // HttpInterface: "Socket file exception: '%s'"
    LOG_LINE_UNABLE_TO_CONNECT = 493,  // UpdaterDlg: "Unable to connect to update server %s on port %d\n"
    LOG_LINE_RESUMING = 525,           // UpdaterDlg: "Resuming the transfer of %s at byte %s of %s"
    LOG_LINE_KEPT_REMOVED = 527,       // UpdaterDlg: "The kept part of %s was removed: %s"
    LOG_LINE_HTTP_ERROR = 567,         // UpdaterDlg: "HTTP error %d when retrieving %s"
    LOG_LINE_LAUNCH_ERROR = 594,       // UpdaterDlg: "An error occurred attempting to launch %s: Error %d"
    LOG_LINE_CONNECTION_LOST = 615,    // UpdaterDlg: "Connection to %s:%d unexpectedly lost: Error %d"
};

#pragma once
// What start-up takes from outside the program: where its files lie, how it pings, where the
// desktop, download and home folders are, and the draw of the occasional home-page opening. Tests and benchmarks hand in
// their own; the program uses FromSystem().
#include <QString>

#include <atomic>
#include <functional>

namespace Download {
class ProxyChoice;
}

struct StartupEnvironment {
    // The folder beside the program: the skin x/o.cjs and the cursor HAND-M.CUR are looked for here.
    QString programFolder;
    // The connectivity check's command line and how long start-up waits for it.
    QString pingCommand;
    int pingWaitLimitMs = 3000;
    // The HTTPS connection tried alongside the ping, through the proxy the stored options choose
    // (none when they choose none or cannot be read); no try when empty.
    std::function<bool(int limitMs, const std::atomic<bool>& stop, const Download::ProxyChoice* proxy)> tryConnection;
    // The desktop folder's path; the empty text when it cannot be determined.
    std::function<QString()> desktopFolder;
    // Where files go by default when the desktop folder does not exist (a fresh account may
    // have none): the user's download folder when it exists, else the home folder.
    std::function<QString()> downloadFolder;
    std::function<QString()> homeFolder;
    // A whole number from 1 to 100; 7 opens the home page.
    std::function<int()> drawHomePageNumber;
    // Where the record of an unfinished run and the partial files' records lie; when empty,
    // no unfinished run is offered back.
    QString stateFolder;

    static StartupEnvironment FromSystem();
};

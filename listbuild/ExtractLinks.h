#pragma once
// "Get All Links Within URL": fetch one page into the temporary file HTML<tag>.tmp, scan it
// for every href=" and append each link, resolved against the page's final address, to the list.
#include <QString>

#include <functional>

#include "urllist/UrlList.h"
#include "download/Downloader.h"
#include "support/Background.h"
#include "support/Dialogs.h"

namespace ExtractLinks {

// What one extraction needs from its surroundings.
struct Session {
    Dialogs::DialogService& dialogs;
    Download::Downloader& downloader;
    // Where the fetch waits while the window keeps answering.
    Background::Worker& worker;
    // One pass of pending window events; false once the window is closing.
    std::function<bool()> keepGoing;
};

// Module state of the last extraction: the address fetched, and the address links were
// resolved against (the page's final address after redirects).
extern QString PageUrl;
extern QString BaseUrl;

// The entered address completed for fetching: "http://" in front unless it begins with "http"
// in any case; a bare host gets its root path. Sets PageUrl and returns it.
QString SetPageUrl(const QString& address);

QString TemporaryPagePath(int fileTag);

// Fetches `url` into `path` off the window thread. On success `finalUrl` is the address
// after redirects. With `page`, the fetched bytes are read back into it from the same open file
// and the file is removed (only while `path` still names it), whether the fetch worked or not.
bool DownloadPage(const QString& url, const QString& path, Session& session, QString* finalUrl,
                  bool* cancelled = nullptr, QByteArray* page = nullptr);

// Appends every link of the page's bytes, resolved against `base`, to the list. The window
// stays responsive; returns false when stopped by the window closing.
bool ScanPage(std::string_view page, const QString& base, UrlList& list, const std::function<bool()>& keepGoing);

// True when the page was fetched (with or without links); "URL not found" otherwise.
bool GetUrls(UrlList& list, const QString& address, int fileTag, Session& session);

}  // namespace ExtractLinks

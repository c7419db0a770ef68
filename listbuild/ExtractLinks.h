#pragma once
// "Get All Links Within URL": fetch one page into a memory file of its own, read the href of
// every start tag and append each link, resolved against the page's base address, to the list.
#include <QString>

#include <functional>
#include <string_view>

#include "urllist/UrlList.h"
#include "download/Downloader.h"
#include "support/Background.h"
#include "support/Dialogs.h"
#include "support/Result.h"

namespace ExtractLinks {

// A page beyond this is not fetched on: the transfer is aborted when it reaches it.
inline constexpr qint64 kPageLimitBytes = 64LL << 20;

// What one extraction needs from its surroundings.
struct Session {
    Dialogs::DialogService& dialogs;
    Download::Downloader& downloader;
    // Where the fetch and the scan run while the window keeps answering.
    Background::Worker& worker;
    // One pass of pending window events; false once the window is closing.
    std::function<bool()> keepGoing;
};

// Module state of the last extraction: the address fetched, and the page's final address after
// redirects (links are resolved against it, or against its <base href>).
extern QString PageUrl;
extern QString BaseUrl;

// The entered address read as every typed address is (WebUrl::FromUserText); the empty text
// when it is no web address. Sets PageUrl and returns it.
QString SetPageUrl(const QString& address);

// A fetched page: its bytes stay mapped from a file without a name, which is gone with this
// object (or with the process), whatever happens.
class Page {
public:
    Page() = default;
    Page(Page&& other) noexcept;
    Page& operator=(Page&& other) noexcept;
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;
    ~Page();

    std::string_view bytes() const { return {data_, size_}; }
    QString finalUrl;  // after redirects

private:
    friend Fw::Result<Page> DownloadPage(const QString& url, Session& session);
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;
};

// Fetches `url` off the window thread, at most kPageLimitBytes of it ("Page larger than 64 MB"
// beyond); kind Cancelled when the window closed.
Fw::Result<Page> DownloadPage(const QString& url, Session& session);

// Appends every link of the page's bytes to the list, resolved against the page's first
// <base href> or else `pageUrl`; links into the page itself and its style sheets and icons are
// left out. The scan runs on `worker`; its links reach the list in batches, and `keepGoing` is
// asked after each one (kind Cancelled when it said stop). Returns how many were added.
Fw::Result<qsizetype> ScanPage(std::string_view page, const QString& pageUrl, UrlList& list, Background::Worker& worker,
                               const std::function<bool()>& keepGoing);

// True when the page was fetched (with or without links; "No links found on this page." when
// without); "URL not found" and the reason otherwise.
bool GetUrls(UrlList& list, const QString& address, Session& session);

}  // namespace ExtractLinks

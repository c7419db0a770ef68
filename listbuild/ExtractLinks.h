#pragma once
// "Get All Links Within URL": fetch one page into a memory file of its own, read the href of
// every start tag and append each link, resolved against the page's base address, to the list.
#include <QString>

#include <atomic>
#include <string_view>

#include "download/DownloadEngine.h"
#include "listbuild/EntryBatch.h"
#include "support/Result.h"
#include "support/RunOptions.h"

namespace ExtractLinks {

// A page beyond this is not fetched on: the transfer is aborted when it reaches it.
inline constexpr qint64 kPageLimitBytes = 64LL << 20;

// Module state of the last extraction, kept by the window thread: the address fetched, and the
// page's final address after redirects (links are resolved against it, or against its <base href>).
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
    friend Fw::Result<Page> DownloadPage(const QString& url, Download::Engine& engine);
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;
};

// Fetches `url` through `engine`, as a run of one item into a memory file, at most
// kPageLimitBytes of it ("Page larger than 64 MB" beyond); kind Cancelled when the engine was
// cancelled. Blocking: for a job off the window thread.
Fw::Result<Page> DownloadPage(const QString& url, Download::Engine& engine);

// Hands every link of the page's bytes to `sink` in batches, in page order, resolved against the
// page's first <base href> or else `pageUrl`; links into the page itself and its style sheets
// and icons are left out. With `take` other than Links, each tag's images and media follow its
// href (an address a tag names twice, as its src and in its srcset, once). Returns how many there
// were; kind Cancelled once `stop` is set. `leftOut`, when given, counts the image candidates of
// over-long srcset lists that were not taken.
Fw::Result<qsizetype> ScanPage(std::string_view page, const QString& pageUrl, const EntrySink& sink,
                               const std::atomic<bool>& stop, RunOptions::LinksTake take = RunOptions::LinksTake::Links,
                               qsizetype* leftOut = nullptr);

// What one extraction gave: how many links, and the page's final address.
struct Extracted {
    qsizetype links = 0;
    QString finalUrl;
    qsizetype leftOut = 0;  // image candidates past kMostSrcsetCandidates of one srcset
};

// The whole extraction of `pageUrl` (as SetPageUrl gave it; empty for no web address), blocking,
// for a job off the window thread. A failure's text is what the user is told: "URL not found"
// and the reason when the page could not be fetched, "The links of this page could not be read."
// and the reason when its scan failed.
Fw::Result<Extracted> FetchAndScan(const QString& pageUrl, Download::Engine& engine, const EntrySink& sink,
                                   const std::atomic<bool>& stop,
                                   RunOptions::LinksTake take = RunOptions::LinksTake::Links);

}  // namespace ExtractLinks

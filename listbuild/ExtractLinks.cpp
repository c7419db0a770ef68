#include "listbuild/ExtractLinks.h"

#include <QCoreApplication>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "listbuild/LinkScan.h"
#include "support/UniqueFd.h"
#include "support/WebUrl.h"

namespace ExtractLinks {

QString PageUrl;
QString BaseUrl;

QString SetPageUrl(const QString& address) {
    PageUrl = WebUrl::FromUserText(address).value_or(QString());
    return PageUrl;
}

Page::Page(Page&& other) noexcept
    : finalUrl(std::move(other.finalUrl)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)) {}

Page& Page::operator=(Page&& other) noexcept {
    if (this != &other) {
        if (mapping_) ::munmap(mapping_, size_);
        finalUrl = std::move(other.finalUrl);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapping_ = std::exchange(other.mapping_, nullptr);
    }
    return *this;
}

Page::~Page() {
    if (mapping_) ::munmap(mapping_, size_);
}

namespace {
// A memory file that cannot grow beyond the limit: writing past it fails, which aborts the
// transfer right there even when the server sent no length. It has no name, so no other
// user can see, replace or fill it, and nothing is left behind on any path.
Fw::Result<Fw::UniqueFd> MakePageFile() {
    Fw::UniqueFd fd(::memfd_create("fetchwright-page", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) return Fw::Error::fromErrno(QCoreApplication::translate("ExtractLinks", "Cannot make the page file: "), errno);
    // The size is only reserved: no memory is used until the page arrives.
    if (::ftruncate(fd.get(), kPageLimitBytes) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
        return Fw::Error::fromErrno(QCoreApplication::translate("ExtractLinks", "Cannot make the page file: "), errno);
    return fd;
}

QString PageLimitText() { return QCoreApplication::translate("ExtractLinks", "Page larger than %1 MB").arg(kPageLimitBytes >> 20); }
}  // namespace

Fw::Result<Page> DownloadPage(const QString& url, Download::Engine& engine) {
    Fw::Result<Fw::UniqueFd> file = MakePageFile();
    if (!file) return file.error();
    const int fd = file->get();
    const Fw::Result<Download::TransferInfo> fetched = engine.fetchInto(url, fd);
    if (!fetched) {
        // The write that would have gone past the limit is the one that failed.
        if (!fetched.error().isCancelled() && ::lseek(fd, 0, SEEK_CUR) >= kPageLimitBytes)
            return Fw::Error::failed(PageLimitText());
        return fetched.error();
    }
    Page page;
    page.finalUrl = fetched->finalUrl.isEmpty() ? url : fetched->finalUrl;
    const auto size = static_cast<std::size_t>(fetched->bytes);
    if (size == 0) return page;
    // Mapped, not copied: the page is held once, in the memory file.
    void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) return Fw::Error::fromErrno(QCoreApplication::translate("ExtractLinks", "Cannot read the page: "), errno);
    page.mapping_ = mapping;
    page.data_ = static_cast<const char*>(mapping);
    page.size_ = size;
    return page;
}

namespace {
// The addresses one tag's media attributes give, in the order a reader meets them: src and its
// srcset (or the largest of them), poster, then data-src and its data-srcset likewise.
class TagMedia {
public:
    TagMedia(const PageAddress& where, bool largestOnly) : where_(where), largestOnly_(largestOnly) {}

    template <class Add>
    void take(const MediaAttributes& media, Add&& add) {
        seen_.clear();
        images(media.src, media.srcset, add);
        single(media.poster, add);
        images(media.dataSrc, media.dataSrcset, add);
    }
    qsizetype leftOut = 0;

private:
    static std::string decoded(std::string_view raw) {
        std::string utf8 = ToUtf8(raw);
        return utf8.find('&') == std::string::npos ? utf8 : DecodeCharacterReferences(utf8);
    }

    template <class Add>
    void resolved(std::string_view text, Add& add) {
        if (!WebUrl::Parse(text, &where_.base, link_)) return;
        if (link_.withoutFragment() == where_.page.withoutFragment()) return;
        for (const std::string& earlier : seen_)
            if (earlier == link_.href) return;
        seen_.push_back(link_.href);
        add(link_.href);
    }

    template <class Add>
    void single(std::string_view raw, Add& add) {
        if (!raw.empty()) resolved(decoded(raw), add);
    }

    template <class Add>
    void images(std::string_view src, std::string_view srcset, Add& add) {
        const std::string srcText = decoded(src), setText = decoded(srcset);
        candidates_.clear();
        leftOut += static_cast<qsizetype>(ParseSrcset(setText, candidates_));
        if (!largestOnly_) {
            if (!srcText.empty()) resolved(srcText, add);
            for (const SrcsetCandidate& c : candidates_) resolved(c.url, add);
            return;
        }
        // As a browser does: src stands for 1x unless the set has widths or a 1x of its own.
        const bool srcCounts = !srcText.empty() && std::none_of(candidates_.begin(), candidates_.end(), [](const SrcsetCandidate& c) {
            return c.width >= 0 || c.density < 0 || c.density == 1.0;
        });
        if (srcCounts) candidates_.insert(candidates_.begin(), SrcsetCandidate{srcText, -1, 1.0});
        if (const SrcsetCandidate* best = LargestCandidate(candidates_)) resolved(best->url, add);
        else if (!srcText.empty()) resolved(srcText, add);
    }

    const PageAddress& where_;
    const bool largestOnly_;
    WebUrl::Url link_;
    std::vector<SrcsetCandidate> candidates_;
    std::vector<std::string> seen_;
};
}  // namespace

Fw::Result<qsizetype> ScanPage(std::string_view page, const QString& pageUrl, const EntrySink& sink,
                               const std::atomic<bool>& stop, RunOptions::LinksTake take, qsizetype* leftOut) {
    const QByteArray pageUrlBytes = pageUrl.toUtf8();
    PageAddress where;
    std::string_view baseHref;
    const bool hasBase = FindBaseHref(page, baseHref);
    if (!MakePageAddress(std::string_view(pageUrlBytes.constData(), static_cast<std::size_t>(pageUrlBytes.size())),
                         hasBase ? &baseHref : nullptr, where))
        return Fw::Error::failed(QCoreApplication::translate("ExtractLinks", "The page's address is not a web address"));
    constexpr std::size_t kStepBytes = 4u << 20;
    qsizetype added = 0;
    // Each link remembers the page it was found on, for its Referer.
    EntryBatch batch;
    batch.page = pageUrl;
    WebUrl::Url link;
    const bool media = take != RunOptions::LinksTake::Links;
    TagMedia tagMedia(where, take == RunOptions::LinksTake::LargestMedia);
    auto add = [&](std::string_view href) {
        batch.add(href);
        ++added;
        if (batch.full()) {
            sink(std::exchange(batch, {}));
            batch.page = pageUrl;
        }
    };
    std::size_t at = 0;
    while (at < page.size()) {
        if (stop) return Fw::Error::cancelled();
        at = ScanLinksFrom(page, at, at + kStepBytes, [&](const Href& href) {
            if (href.kind == Href::Link && CompleteLink(where, href.value, link)) add(link.href);
            else if (href.kind == Href::Media) tagMedia.take(*href.media, add);
            return true;
        }, media);
    }
    if (!batch.empty()) sink(std::move(batch));
    if (leftOut) *leftOut = tagMedia.leftOut;
    return added;
}

Fw::Result<Extracted> FetchAndScan(const QString& pageUrl, Download::Engine& engine, const EntrySink& sink,
                                   const std::atomic<bool>& stop, RunOptions::LinksTake take) {
    const auto notFound = [](const QString& reason) { return Fw::Error::failed(QCoreApplication::translate("ExtractLinks", "URL not found\n%1").arg(reason)); };
    if (pageUrl.isEmpty()) return notFound(QCoreApplication::translate("ExtractLinks", "Not a web address"));
    Fw::Result<Page> page = DownloadPage(pageUrl, engine);
    if (!page) return page.error().isCancelled() ? page.error() : notFound(page.error().text);
    Extracted extracted;
    extracted.finalUrl = page->finalUrl;
    Fw::Result<qsizetype> links = Fw::Error::failed({});
    try {
        links = ScanPage(page->bytes(), page->finalUrl, sink, stop, take, &extracted.leftOut);
    } catch (const std::bad_alloc&) {
        links = Fw::Error::failed(QCoreApplication::translate("ExtractLinks", "Out of memory"));
    }
    if (!links) {
        if (links.error().isCancelled()) return links.error();
        return Fw::Error::failed(QCoreApplication::translate("ExtractLinks", "The links of this page could not be read.\n%1").arg(links.error().text));
    }
    extracted.links = *links;
    return extracted;
}

}  // namespace ExtractLinks

#include "listbuild/ExtractLinks.h"

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
    if (!fd) return Fw::Error::fromErrno(QStringLiteral("Cannot make the page file: "), errno);
    // The size is only reserved: no memory is used until the page arrives.
    if (::ftruncate(fd.get(), kPageLimitBytes) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
        return Fw::Error::fromErrno(QStringLiteral("Cannot make the page file: "), errno);
    return fd;
}

QString PageLimitText() { return QStringLiteral("Page larger than %1 MB").arg(kPageLimitBytes >> 20); }
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
    if (mapping == MAP_FAILED) return Fw::Error::fromErrno(QStringLiteral("Cannot read the page: "), errno);
    page.mapping_ = mapping;
    page.data_ = static_cast<const char*>(mapping);
    page.size_ = size;
    return page;
}

Fw::Result<qsizetype> ScanPage(std::string_view page, const QString& pageUrl, const EntrySink& sink,
                               const std::atomic<bool>& stop) {
    const QByteArray pageUrlBytes = pageUrl.toUtf8();
    PageAddress where;
    std::string_view baseHref;
    const bool hasBase = FindBaseHref(page, baseHref);
    if (!MakePageAddress(std::string_view(pageUrlBytes.constData(), static_cast<std::size_t>(pageUrlBytes.size())),
                         hasBase ? &baseHref : nullptr, where))
        return Fw::Error::failed(QStringLiteral("The page's address is not a web address"));
    constexpr std::size_t kStepBytes = 4u << 20;
    qsizetype added = 0;
    // Each link remembers the page it was found on, for its Referer.
    EntryBatch batch;
    batch.page = pageUrl;
    WebUrl::Url link;
    std::size_t at = 0;
    while (at < page.size()) {
        if (stop) return Fw::Error::cancelled();
        at = ScanLinksFrom(page, at, at + kStepBytes, [&](const Href& href) {
            if (href.kind == Href::Link && CompleteLink(where, href.value, link)) {
                batch.add(link.href);
                ++added;
                if (batch.full()) {
                    sink(std::exchange(batch, {}));
                    batch.page = pageUrl;
                }
            }
            return true;
        });
    }
    if (!batch.empty()) sink(std::move(batch));
    return added;
}

Fw::Result<Extracted> FetchAndScan(const QString& pageUrl, Download::Engine& engine, const EntrySink& sink,
                                   const std::atomic<bool>& stop) {
    const auto notFound = [](const QString& reason) { return Fw::Error::failed(QStringLiteral("URL not found\n") + reason); };
    if (pageUrl.isEmpty()) return notFound(QStringLiteral("Not a web address"));
    Fw::Result<Page> page = DownloadPage(pageUrl, engine);
    if (!page) return page.error().isCancelled() ? page.error() : notFound(page.error().text);
    Extracted extracted;
    extracted.finalUrl = page->finalUrl;
    Fw::Result<qsizetype> links = Fw::Error::failed({});
    try {
        links = ScanPage(page->bytes(), page->finalUrl, sink, stop);
    } catch (const std::bad_alloc&) {
        links = Fw::Error::failed(QStringLiteral("Out of memory"));
    }
    if (!links) {
        if (links.error().isCancelled()) return links.error();
        return Fw::Error::failed(QStringLiteral("The links of this page could not be read.\n") + links.error().text);
    }
    extracted.links = *links;
    return extracted;
}

}  // namespace ExtractLinks

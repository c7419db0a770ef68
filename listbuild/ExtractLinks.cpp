#include "listbuild/ExtractLinks.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "listbuild/LinkScan.h"
#include "support/Background.h"
#include "support/ErrorTrap.h"
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

Fw::Result<Page> DownloadPage(const QString& url, Session& session) {
    if (!session.keepGoing()) return Fw::Error::cancelled();
    Fw::Result<Fw::UniqueFd> file = MakePageFile();
    if (!file) return file.error();
    const int fd = file->get();
    session.downloader.reset();
    const Fw::Result<Download::TransferInfo> fetched =
        session.worker.run([&] { return session.downloader.fetchToFd(url, fd); });
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

namespace {
// Links found by one step of the scan, one after another in one text.
struct FoundLinks {
    std::string text;
    std::vector<std::size_t> ends;
};
constexpr std::size_t kScanStepBytes = 4u << 20;
constexpr std::size_t kLinksPerBatch = 16384;
}  // namespace

Fw::Result<qsizetype> ScanPage(std::string_view page, const QString& pageUrl, UrlList& list, Background::Worker& worker,
                               const std::function<bool()>& keepGoing) {
    const QByteArray pageUrlBytes = pageUrl.toUtf8();
    PageAddress where;
    const bool known = worker.run([&] {
        std::string_view baseHref;
        const bool hasBase = FindBaseHref(page, baseHref);
        return MakePageAddress(std::string_view(pageUrlBytes.constData(), static_cast<std::size_t>(pageUrlBytes.size())),
                               hasBase ? &baseHref : nullptr, where);
    });
    if (!known) return Fw::Error::failed(QStringLiteral("Not a web address"));
    qsizetype added = 0;
    FoundLinks found;
    std::size_t at = 0;
    while (at < page.size()) {
        found.text.clear();
        found.ends.clear();
        at = worker.run([&] {
            WebUrl::Url link;
            return ScanLinksFrom(page, at, at + kScanStepBytes, [&](const Href& href) {
                if (href.kind == Href::Link && CompleteLink(where, href.value, link)) {
                    found.text += link.href;
                    found.ends.push_back(found.text.size());
                }
                return found.ends.size() < kLinksPerBatch;
            });
        });
        // The list belongs to the window thread: the batch is added here.
        UrlList::Batch batch(list);
        std::size_t start = 0;
        for (std::size_t end : found.ends) {
            batch.addUtf8(std::string_view(found.text).substr(start, end - start));
            start = end;
        }
        batch.commit();
        added += static_cast<qsizetype>(found.ends.size());
        if (!keepGoing()) return Fw::Error::cancelled();
    }
    return added;
}

bool GetUrls(UrlList& list, const QString& address, Session& session) {
    ErrorReport::Trap trap(session.dialogs, QStringLiteral("ExtractLinks"), QStringLiteral("GetUrls"));
    bool result = false;
    std::optional<Fw::Result<Page>> fetched;
    trap.run(100, [&] { SetPageUrl(address); });
    trap.run(104, [&] {
        fetched.emplace(PageUrl.isEmpty() ? Fw::Result<Page>(Fw::Error::failed(QStringLiteral("Not a web address")))
                                          : DownloadPage(PageUrl, session));
    });
    if (trap.blockTest(106, [&] { return fetched && fetched->ok(); })) {
        trap.run(108, [&] { result = true; });
        trap.run(122, [&] {
            BaseUrl = (*fetched)->finalUrl;
            const Fw::Result<qsizetype> added = ScanPage((*fetched)->bytes(), BaseUrl, list, session.worker, session.keepGoing);
            // Stopped only by the window closing: nobody is left to tell.
            if (!added && added.error().isCancelled()) return;
            if (!added || *added == 0) session.dialogs.msgBox(QStringLiteral("No links found on this page."));
        });
    } else {
        trap.run(124, [&] { result = false; });
        // Nobody is left to read the message when the window closed during the fetch.
        if (!fetched || !fetched->error().isCancelled()) {
            trap.run(126, [&] {
                QString text = QStringLiteral("URL not found");
                if (fetched) text += QLatin1Char('\n') + fetched->error().text;
                session.dialogs.msgBox(text);
            });
        }
    }
    return result;
}

}  // namespace ExtractLinks

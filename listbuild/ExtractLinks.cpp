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

namespace ExtractLinks {

QString PageUrl;
QString BaseUrl;

QString SetPageUrl(const QString& address) {
    QString url = address;
    if (url.left(4).toLower() != QLatin1String("http")) url.prepend(QLatin1String("http://"));
    // A bare host is fetched at its root; anything else exactly as entered.
    const QByteArray bytes = url.toUtf8();
    const UrlParts parts = SplitUrl(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (parts.hasAuthority && parts.path.empty()) {
        const auto at = static_cast<qsizetype>(parts.authority.data() + parts.authority.size() - bytes.constData());
        url = QString::fromUtf8(bytes.left(at) + '/' + bytes.mid(at));
    }
    PageUrl = url;
    return url;
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

Fw::Result<void> ScanPage(std::string_view page, const QString& base, UrlList& list, Background::Worker& worker,
                          const std::function<bool()>& keepGoing) {
    const QByteArray baseBytes = base.toUtf8();
    const std::string_view baseView(baseBytes.constData(), static_cast<std::size_t>(baseBytes.size()));
    FoundLinks found;
    std::size_t at = 0;
    while (at < page.size()) {
        found.text.clear();
        found.ends.clear();
        at = worker.run([&] {
            std::string link;
            return ScanLinksFrom(page, at, at + kScanStepBytes, [&](std::string_view raw) {
                if (CompleteLink(baseView, raw, link)) {
                    found.text += link;
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
        if (!keepGoing()) return Fw::Error::cancelled();
    }
    return {};
}

bool GetUrls(UrlList& list, const QString& address, Session& session) {
    ErrorReport::Trap trap(session.dialogs, QStringLiteral("ExtractLinks"), QStringLiteral("GetUrls"));
    bool result = false;
    std::optional<Fw::Result<Page>> fetched;
    trap.run(100, [&] { SetPageUrl(address); });
    trap.run(104, [&] { fetched.emplace(DownloadPage(PageUrl, session)); });
    if (trap.blockTest(106, [&] { return fetched && fetched->ok(); })) {
        trap.run(108, [&] { result = true; });
        trap.run(122, [&] {
            BaseUrl = (*fetched)->finalUrl;
            // Stopped only by the window closing: nobody is left to tell.
            (void)ScanPage((*fetched)->bytes(), BaseUrl, list, session.worker, session.keepGoing);
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

#include "listbuild/ExtractLinks.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "listbuild/LinkScan.h"
#include "support/Background.h"
#include "support/ErrorTrap.h"

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

QString TemporaryPagePath(int fileTag) {
    return QDir::tempPath() + QLatin1String("/HTML") + QString::number(fileTag) + QLatin1String(".tmp");
}

namespace {
// True while `native` still names the file open at `fd`: another running copy of the program
// may have taken the shared name meanwhile.
bool StillNames(const QByteArray& native, int fd) {
    struct stat byName {}, opened {};
    return ::fstat(fd, &opened) == 0 && ::lstat(native.constData(), &byName) == 0 &&
           byName.st_dev == opened.st_dev && byName.st_ino == opened.st_ino;
}

bool ReadBack(int fd, QByteArray& page) {
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) || !file.seek(0)) return false;
    page = file.readAll();
    return file.error() == QFileDevice::NoError;
}
}  // namespace

bool DownloadPage(const QString& url, const QString& path, Session& session, QString* finalUrl, bool* cancelled,
                  QByteArray* page) {
    if (cancelled) *cancelled = false;
    if (!session.keepGoing()) {
        if (cancelled) *cancelled = true;
        return false;
    }
    // The name is fixed and the folder shared: never write through a link someone left there.
    const QByteArray native = QFile::encodeName(path);
    ::unlink(native.constData());
    const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    session.downloader.reset();
    const Fw::Result<Download::TransferInfo> result =
        session.worker.run([&] { return session.downloader.fetchToFd(url, fd); });
    bool ok = result.ok();
    if (page) {
        // Read back through the same descriptor, never by name, and remove the name only while it
        // is still this file's: another copy of the program may use the same name meanwhile.
        if (ok) ok = ReadBack(fd, *page);
        if (StillNames(native, fd)) ::unlink(native.constData());
    }
    ::close(fd);
    if (cancelled) *cancelled = !result && result.error().isCancelled();
    if (ok && finalUrl) *finalUrl = result->finalUrl.isEmpty() ? url : result->finalUrl;
    return ok;
}

bool ScanPage(std::string_view page, const QString& base, UrlList& list, const std::function<bool()>& keepGoing) {
    const QByteArray baseBytes = base.toUtf8();
    const std::string_view baseView(baseBytes.constData(), static_cast<std::size_t>(baseBytes.size()));
    UrlList::Batch batch(list);
    std::string link;
    QElapsedTimer sinceYield;
    sinceYield.start();
    // Yield about every 10 ms, checked every few thousand positions and links.
    auto breathe = [&] {
        if (sinceYield.elapsed() < 10) return true;
        batch.commit();
        const bool go = keepGoing();
        sinceYield.restart();
        return go;
    };
    unsigned links = 0;
    return ScanForLinks(
        page,
        [&](std::string_view raw) {
            if (CompleteLink(baseView, raw, link)) batch.addUtf8(link);
            return (++links & 2047) != 0 || breathe();
        },
        breathe);
}

bool GetUrls(UrlList& list, const QString& address, int fileTag, Session& session) {
    ErrorReport::Trap trap(session.dialogs, QStringLiteral("ExtractLinks"), QStringLiteral("GetUrls"));
    bool result = false;
    QString path;
    QString finalUrl;
    bool downloaded = false;
    bool cancelled = false;
    trap.run(100, [&] { SetPageUrl(address); });
    trap.run(102, [&] { path = TemporaryPagePath(fileTag); });
    // The page comes back read from the file it was written to, and that file is already gone
    // (a partial page of a failed fetch too), so nothing is read or removed by name below.
    QByteArray page;
    trap.run(104, [&] { downloaded = DownloadPage(PageUrl, path, session, &finalUrl, &cancelled, &page); });
    if (trap.blockTest(106, [&] { return downloaded; })) {
        trap.run(108, [&] { result = true; });
        trap.run(122, [&] {
            BaseUrl = finalUrl;
            ScanPage(std::string_view(page.constData(), static_cast<std::size_t>(page.size())), BaseUrl, list,
                     session.keepGoing);
        });
    } else {
        trap.run(124, [&] { result = false; });
        // Nobody is left to read the message when the window closed during the fetch.
        if (!cancelled) trap.run(126, [&] { session.dialogs.msgBox(QStringLiteral("URL not found")); });
    }
    return result;
}

}  // namespace ExtractLinks

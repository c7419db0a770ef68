// Paste, drop and the list's context menu.
#include "app/ListActions.h"

#include <QCoreApplication>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDir>
#include <QStandardPaths>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QSaveFile>
#include <QSet>
#include <QTreeView>

#include "app/Form1.h"
#include "app/ListEditing.h"
#include "listbuild/FindAddresses.h"
#include "listbuild/ListDigests.h"
#include "listbuild/UserAddress.h"
#include "app/ErrorTrap.h"
#include "listbuild/EntryBatch.h"
#include "support/WebUrl.h"
#include "support/PathHelpers.h"

#include <memory>
#include <string_view>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Result.h"
#include "support/UniqueFd.h"

qsizetype RemoveDuplicateEntries(UrlList& list) {
    // The views stay valid while removeIf decides: it changes the list only after asking about
    // every entry, in list order.
    QSet<QByteArrayView> seen;
    seen.reserve(list.count());
    return list.removeIf([&seen](std::string_view text) {
        const QByteArrayView view(text.data(), static_cast<qsizetype>(text.size()));
        const qsizetype before = seen.size();
        seen.insert(view);
        return seen.size() == before;
    });
}

ListActions::ListActions(Form1& form) : QObject(&form), form_(form) {
    setObjectName(QStringLiteral("ListActions"));
    QTreeView* view = form_.ListView1;
    view_ = view;
    viewport_ = view->viewport();
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    view->viewport()->setAcceptDrops(true);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& at) {
        QMenu* menu = buildContextMenu();
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(view->viewport()->mapToGlobal(at));
    });
    // Last, so that its filters see the list's keys and drags first.
    new ListEditing(form_, this);
}

namespace {
// What a paste or drop found besides its entries, written by its work and read once it has ended.
struct FoundReport {
    qsizetype added = 0;
    Main::NotAdded notAdded;
};
}  // namespace

void ListActions::appendAddressesIn(const QString& text, const QString& origin) {
    auto report = std::make_shared<FoundReport>();
    Form1& form = form_;
    auto work = [&form, text, report](ListJobs::Job& job) {
        const EntrySink sink = form.entrySink(job);
        EntryBatch batch;
        const auto handOver = [&] { sink(std::exchange(batch, {})); };
        WebUrl::Url address;
        // Line by line in slices, so that a close is noticed within one slice.
        constexpr qsizetype kSliceChars = 1 << 20;
        const QStringView all(text);
        qsizetype start = 0;
        while (start < all.size() && !job.stop()) {
            qsizetype end = all.indexOf(u'\n', std::min(start + kSliceChars, all.size()));
            end = end < 0 ? all.size() : end + 1;
            Main::FindWebAddresses(all.mid(start, end - start), [&](const QString& found) {
                if (WebUrl::FromUserText(found.toUtf8().toStdString(), address)) {
                    batch.add(address.href);
                    ++report->added;
                    if (batch.full()) handOver();
                } else {
                    report->notAdded.note(found);
                }
            });
            start = end;
        }
        if (!batch.empty()) handOver();
    };
    form_.startListJob(std::move(work), [this, report, origin](const ListJobs::Ending& how) {
        if (how.stopped) return;
        ErrorReport::Trap trap(form_.dialogs(), QStringLiteral("Form1"), QStringLiteral("ListView1_Drop"));
        if (!how.failure.isEmpty()) return trap.report(100, how.failure);
        if (report->notAdded.count)
            form_.dialogs().msgBox(report->notAdded.message());
        else if (report->added == 0)
            form_.dialogs().msgBox(origin == QLatin1String("pasted") ? tr("No web addresses found in the pasted text.")
                                                                     : tr("No web addresses found in the dropped text."));
    });
}

void ListActions::pasteFromClipboard() {
    appendAddressesIn(QGuiApplication::clipboard()->text(), QStringLiteral("pasted"));
}

namespace {
bool IsListFile(const QString& path) {
    if (path.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive)) return true;
    return QMimeDatabase().mimeTypeForFile(path).inherits(QStringLiteral("text/plain"));
}
}  // namespace

bool ListActions::canDrop(const QMimeData& data) const { return data.hasUrls() || data.hasText(); }

bool ListActions::dropMimeData(const QMimeData& data) {
    if (!data.hasUrls() && !data.hasText()) return false;
    // An exception must not leave the drop event's handler, and no box may open inside it: a
    // failure is reported once the drop has returned.
    try {
        if (!data.hasUrls()) {
            appendAddressesIn(data.text(), QStringLiteral("dropped"));
            return true;
        }
        QStringList links;
        QStringList files;
        for (const QUrl& url : data.urls()) {
            if (url.isLocalFile()) {
                const QString path = url.toLocalFile();
                const QFileInfo file(path);
                // A pipe, a device or a folder is handed on too, so that it is refused in words
                // as the chooser's load refuses it, instead of left out without one.
                if ((file.isFile() && IsListFile(path)) || (file.exists() && !file.isFile())) files << path;
            } else {
                // As the source gave it: decoded escapes (a blank above all) would make it unfetchable.
                links << url.toString(QUrl::FullyEncoded);
            }
        }
        if (!files.isEmpty()) form_.loadListFiles(files, QStringLiteral("ListView1_Drop"));
        if (!links.isEmpty()) appendAddressesIn(links.join(QLatin1Char('\n')), QStringLiteral("dropped"));
    } catch (...) {
        const QString failure = ErrorReport::DescribeCurrentException();
        QMetaObject::invokeMethod(this, [this, failure] {
            ErrorReport::Trap(form_.dialogs(), QStringLiteral("Form1"), QStringLiteral("ListView1_Drop")).report(100, failure);
        }, Qt::QueuedConnection);
    }
    return true;
}

void ListActions::copySelection() {
    QStringList lines;
    const std::vector<bool> chosen = form_.selectedRows();
    for (std::size_t row = 0; row < chosen.size(); ++row)
        if (chosen[row]) lines << form_.urlList().textAt(static_cast<int>(row) + 1);
    if (!lines.isEmpty()) QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void ListActions::removeDuplicates() {
    // A long operation shows the busy pointer; the list is left alone under it.
    if (!form_.isBusy()) RemoveDuplicateEntries(form_.urlList());
}

namespace {
// Why a target that is neither a regular file nor written into as it is gets refused.
QString RefusalFor(mode_t mode) {
    if (S_ISDIR(mode)) return QCoreApplication::translate("ListActions", "It is a folder");
    if (S_ISBLK(mode)) return QCoreApplication::translate("ListActions", "It is a block device");
    if (S_ISSOCK(mode)) return QCoreApplication::translate("ListActions", "It is a socket");
    return QCoreApplication::translate("ListActions", "Not a regular file");
}
}  // namespace

namespace {
// The list as a list file: an entry a line, each with the digest a line gave it, so that the file
// read back gives the same entries and the same digests.
QByteArray ListText(const UrlList& list) {
    const bool digests = ListDigests::Any();
    QByteArray bytes;
    for (int i = 1; i <= list.count(); ++i) {
        const std::string_view line = list.utf8At(i);
        bytes.append(line.data(), static_cast<qsizetype>(line.size()));
        if (digests) {
            if (const auto digest = ListDigests::Find(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size()))))
                bytes.append("  ").append(digest->text().toLatin1());
        }
        bytes.append('\n');
    }
    return bytes;
}
}  // namespace

bool ListActions::saveListTo(const QString& path) {
    const auto fail = [this](const QString& reason) {
        form_.dialogs().msgBox(tr("Could not save the list: %1").arg(reason), Dialogs::Exclamation);
        return false;
    };
    // Only a regular file is replaced (atomically). A pipe or a character device is written into
    // as it is, as download tools do with such targets; replacing it would leave the reader with
    // nothing, or put a file where a device node was.
    struct stat target {};
    if (::stat(QFile::encodeName(path).constData(), &target) == 0 && !S_ISREG(target.st_mode)) {
        if (!S_ISFIFO(target.st_mode) && !S_ISCHR(target.st_mode)) return fail(RefusalFor(target.st_mode));
        QString reason;
        if (writeInto(path, &reason)) return true;
        return fail(reason);
    }
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(ListText(form_.urlList()));
        if (file.commit()) return true;
    }
    form_.dialogs().msgBox(tr("Could not save the list: %1").arg(file.errorString()), Dialogs::Exclamation);
    return false;
}

bool ListActions::writeInto(const QString& path, QString* reason) {
    // Without waiting: a pipe nobody reads would otherwise hold the window.
    auto fd = std::make_shared<Fw::UniqueFd>(::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!*fd) {
        *reason = errno == ENXIO ? tr("Nothing reads from the pipe") : Fw::Error::fromErrno(errno).text;
        return false;
    }
    // Judged by what was opened: the name may have been swapped since.
    struct stat opened {};
    if (::fstat(fd->get(), &opened) != 0 || (!S_ISFIFO(opened.st_mode) && !S_ISCHR(opened.st_mode))) {
        *reason = RefusalFor(opened.st_mode);
        return false;
    }
    // The list as it is now; it may change while a slow reader takes it.
    const QByteArray bytes = ListText(form_.urlList());
    // A slow reader takes it at its pace, off the window thread; a failure is told once it ends.
    auto failure = std::make_shared<QString>();
    auto work = [fd, bytes, failure](ListJobs::Job& job) {
        qsizetype written = 0;
        while (written < bytes.size() && !job.stop()) {
            const ssize_t n = ::write(fd->get(), bytes.constData() + written, size_t(bytes.size() - written));
            if (n >= 0) {
                written += n;
                continue;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN) {
                *failure = errno == EPIPE ? tr("The reader of the pipe went away") : Fw::Error::fromErrno(errno).text;
                return;
            }
            pollfd p{fd->get(), POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    };
    form_.startListJob(std::move(work), [this, failure](const ListJobs::Ending& how) {
        if (how.stopped) return;
        const QString reason = !how.failure.isEmpty() ? how.failure : *failure;
        if (!reason.isEmpty())
            form_.dialogs().msgBox(tr("Could not save the list: %1").arg(reason), Dialogs::Exclamation);
    });
    return true;
}

void ListActions::saveListAs() {
    const Settings::Store& store = form_.settings();
    QString path = form_.dialogs().saveFile(tr("Save list as"),
                                            {tr("Text Files (*.txt)"), tr("All Files (*)")},
                                            ListChooserFolder(store));
    if (path.isEmpty()) return;
    // What the typed name already is (a pipe, a device, a list without extension) is written as
    // named; only a new name gets the extension, and replacing a file under it is asked first.
    if (!QFileInfo(path).fileName().contains(QLatin1Char('.')) && !Main::FileOrFolderExists(path)) {
        path += QLatin1String(".txt");
        if (Main::FileOrFolderExists(path) &&
            form_.dialogs().msgBox(tr("%1 already exists. Replace it?").arg(QFileInfo(path).fileName()),
                                   Dialogs::YesNo) != Dialogs::Yes)
            return;
    }
    if (saveListTo(path)) store.write(QStringLiteral("LastListFolder"), QFileInfo(path).absolutePath());
}

QString ListChooserFolder(const Settings::Store& store) {
    return Main::ListFolder(store.read(QStringLiteral("LastListFolder"), QString()),
                            QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation), QDir::homePath());
}

QMenu* ListActions::buildContextMenu() {
    auto* menu = new QMenu(form_.ListView1);
    QAction* copy = menu->addAction(tr("Copy"), this, &ListActions::copySelection);
    copy->setEnabled(form_.selectedEntry() != 0);
    QAction* unique = menu->addAction(tr("Remove Duplicates"), this, &ListActions::removeDuplicates);
    unique->setEnabled(form_.urlList().count() > 1);
    QAction* save = menu->addAction(tr("Save list as…"), this, &ListActions::saveListAs);
    save->setEnabled(form_.urlList().count() > 0);
    // After a run, what is left to fetch: the entries that failed or were not reached.
    QAction* removeStored = menu->addAction(tr("Remove Stored Entries"), this,
                                            [this] { form_.urlList().removeStored(); });
    removeStored->setEnabled(form_.urlList().countOutcome(UrlList::Outcome::Stored) + form_.urlList().countOutcome(UrlList::Outcome::Skipped) > 0);
    if (auto* editing = findChild<ListEditing*>()) editing->addToMenu(*menu);
    return menu;
}

bool ListActions::eventFilter(QObject* watched, QEvent* event) {
    // Events still arrive while the window and its list are being torn down: only the handled
    // kinds, which never come then, touch them.
    const bool onView = watched == view_;
    const bool onViewport = watched == viewport_;
    if (!onView && !onViewport) return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress:
        if (onView) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->matches(QKeySequence::Paste)) {
                pasteFromClipboard();
                return true;
            }
            if (key->matches(QKeySequence::Copy)) {
                copySelection();
                return true;
            }
            // Shift+F10 opens the context menu as the Menu key does, at the current entry.
            if (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier) {
                auto* view = static_cast<QTreeView*>(watched);
                const QRect row = view->visualRect(view->currentIndex());
                const QPoint at = row.isValid() ? row.center() : view->viewport()->rect().center();
                QContextMenuEvent menu(QContextMenuEvent::Keyboard, at, view->viewport()->mapToGlobal(at));
                QCoreApplication::sendEvent(view->viewport(), &menu);
                return true;
            }
        }
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove:
        if (onViewport) {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (drag->mimeData() && canDrop(*drag->mimeData())) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        break;
    case QEvent::Drop:
        if (onViewport) {
            auto* drop = static_cast<QDropEvent*>(event);
            if (drop->mimeData() && dropMimeData(*drop->mimeData())) {
                drop->setDropAction(Qt::CopyAction);
                drop->accept();
            }
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

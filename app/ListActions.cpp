// Paste, drop and the list's context menu.
#include "app/ListActions.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMimeDatabase>
#include <QSaveFile>
#include <QTreeView>

#include "app/Form1.h"
#include "listbuild/EnsureHttpPrefix.h"
#include "support/ErrorTrap.h"

ListActions::ListActions(Form1& form) : QObject(&form), form_(form) {
    setObjectName(QStringLiteral("ListActions"));
    chooseSaveFile = [this] {
        return QFileDialog::getSaveFileName(&form_, QStringLiteral("Save list as"), QString(),
                                            QStringLiteral("Text Files (*.txt);;All Files (*)"));
    };
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
}

int ListActions::appendLines(const QString& text) {
    UrlList::Batch batch(form_.urlList());
    int added = 0;
    // Lines may end in LF, CR LF or CR alone (text from some programs); none keeps a break.
    for (QStringView line : QStringView(text).tokenize(QLatin1Char('\n'))) {
        for (QStringView part : line.tokenize(QLatin1Char('\r'))) {
            const QStringView trimmed = part.trimmed();
            if (trimmed.isEmpty()) continue;
            batch.add(Main::EnsureHttpPrefix(trimmed.toString()));
            ++added;
        }
    }
    return added;
}

int ListActions::pasteFromClipboard() { return appendLines(QGuiApplication::clipboard()->text()); }

namespace {
bool IsListFile(const QString& path) {
    if (path.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive)) return true;
    return QMimeDatabase().mimeTypeForFile(path).inherits(QStringLiteral("text/plain"));
}
}  // namespace

bool ListActions::canDrop(const QMimeData& data) const { return data.hasUrls() || data.hasText(); }

bool ListActions::dropMimeData(const QMimeData& data) {
    if (data.hasUrls()) {
        // A list file that cannot be read is reported and the rest of the drop still counts; an
        // exception must not leave the drop event's handler.
        ErrorReport::Trap trap(form_.dialogs(), QStringLiteral("Form1"), QStringLiteral("ListView1_Drop"));
        QStringList links;
        QStringList files;
        for (const QUrl& url : data.urls()) {
            if (url.isLocalFile()) {
                const QString path = url.toLocalFile();
                if (QFileInfo(path).isFile() && IsListFile(path)) files << path;
            } else {
                // As the source gave it: decoded escapes (a blank above all) would make it unfetchable.
                links << url.toString(QUrl::FullyEncoded);
            }
        }
        if (!files.isEmpty()) form_.loadListFiles(files, trap);
        if (!links.isEmpty()) appendLines(links.join(QLatin1Char('\n')));
        return true;
    }
    if (data.hasText()) {
        appendLines(data.text());
        return true;
    }
    return false;
}

void ListActions::copySelection() {
    QStringList lines;
    const QModelIndexList rows = form_.ListView1->selectionModel()->selectedRows();
    for (const QModelIndex& row : rows) lines << form_.urlList().textAt(row.row() + 1);
    if (!lines.isEmpty()) QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

bool ListActions::saveListTo(const QString& path) {
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        const UrlList& list = form_.urlList();
        for (int i = 1; i <= list.count(); ++i) {
            const std::string_view line = list.utf8At(i);
            file.write(line.data(), static_cast<qint64>(line.size()));
            file.write("\n", 1);
        }
        if (file.commit()) return true;
    }
    form_.dialogs().msgBox(QStringLiteral("Could not save the list: ") + file.errorString(), Dialogs::Exclamation);
    return false;
}

void ListActions::saveListAs() {
    const QString path = chooseSaveFile ? chooseSaveFile() : QString();
    if (!path.isEmpty()) saveListTo(path);
}

QMenu* ListActions::buildContextMenu() {
    auto* menu = new QMenu(form_.ListView1);
    QAction* copy = menu->addAction(QStringLiteral("Copy"), this, &ListActions::copySelection);
    copy->setEnabled(form_.selectedEntry() != 0);
    QAction* save = menu->addAction(QStringLiteral("Save list as…"), this, &ListActions::saveListAs);
    save->setEnabled(form_.urlList().count() > 0);
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

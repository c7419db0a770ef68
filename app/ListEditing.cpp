#include "app/ListEditing.h"

#include <QAction>
#include <QCoreApplication>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QTimer>
#include <QTreeView>

#include "app/Form1.h"
#include "listbuild/KeepOnly.h"

namespace {
QString Grouped(qsizetype n) { return QLocale(QLocale::English).toString(qlonglong(n)); }
}  // namespace

// The Keep Only dialog's count: the pattern as typed, counted over the list as it can.
class ListEditing::Count final : public Dialogs::PatternCount {
public:
    explicit Count(UrlList& list) : scan(list) {
        QObject::connect(&scan, &KeepOnly::Scan::done, &scan, [this] {
            slow.stop();
            if (scan.isTooSlow()) say(QCoreApplication::translate("KeepOnly", KeepOnly::kTooSlow), false);
            else say(QCoreApplication::translate("ListEditing", "Keeps %1 of %2").arg(Grouped(scan.kept()), Grouped(scan.total())), true);
        });
        // A count that takes long says how far it is, every second.
        slow.setInterval(1000);
        QObject::connect(&slow, &QTimer::timeout, &scan, [this] {
            if (scan.isDone() || !show) return slow.stop();
            say(QCoreApplication::translate("ListEditing", "Counting… %1 of %2 looked at").arg(Grouped(scan.total()), Grouped(scan.listCount())), true);
        });
    }
    void setPattern(const QString& text) override {
        pattern = text;
        const Fw::Result<KeepOnly::Rule> rule = KeepOnly::Rule::Parse(text);
        if (!rule) {
            scan.stop();
            slow.stop();
            say(rule.error().text, false);
            return;
        }
        say(QCoreApplication::translate("ListEditing", "Counting…"), true);
        scan.start(*rule);
        slow.start();
    }
    void say(const QString& text, bool usable) {
        if (show) show(text, usable);
    }

    KeepOnly::Scan scan;
    QTimer slow;
    QString pattern;
};

ListEditing::ListEditing(Form1& form, QObject* parent) : QObject(parent), form_(form) {
    setObjectName(QStringLiteral("ListEditing"));
    QTreeView* view = form_.ListView1;
    view_ = view;
    viewport_ = view->viewport();
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    view->setDragEnabled(true);
}

ListEditing::~ListEditing() = default;

bool ListEditing::refusedDuringRun(const QString& what) {
    if (!form_.IsDownloading) return false;
    form_.dialogs().msgBox(tr("%1 Press Stop Downloading first.").arg(what));
    return true;
}

void ListEditing::select(const std::vector<bool>& chosen, int current) {
    UrlList& list = form_.urlList();
    QItemSelection selection;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        if (!chosen[i]) continue;
        std::size_t last = i;
        while (last + 1 < chosen.size() && chosen[last + 1]) ++last;
        selection.select(list.index(int(i)), list.index(int(last)));
        i = last;
    }
    QItemSelectionModel* model = form_.ListView1->selectionModel();
    model->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (current < 0 || current >= list.count()) return;
    model->setCurrentIndex(list.index(current), QItemSelectionModel::NoUpdate);
    form_.ListView1->scrollTo(list.index(current));
}

void ListEditing::moveSelection(int by) {
    if (form_.listLocked()) return;
    std::vector<bool> chosen = form_.selectedRows();
    if (!form_.urlList().moveChosen(chosen, by)) return;
    // The end of the selection that leads stays in view.
    int current = -1;
    for (int i = 0; i < int(chosen.size()); ++i)
        if (chosen[std::size_t(i)] && (current < 0 || by > 0)) current = i;
    select(chosen, current);
}

void ListEditing::moveSelectionBefore(int row) {
    if (form_.listLocked()) return;
    std::vector<bool> chosen = form_.selectedRows();
    if (!form_.urlList().moveChosenBefore(chosen, row)) return;
    int first = 0;
    while (first < int(chosen.size()) && !chosen[std::size_t(first)]) ++first;
    select(chosen, first);
}

void ListEditing::undoRemoval() {
    if (form_.listLocked()) return;
    UrlList& list = form_.urlList();
    const UrlList::Restored back = list.undoRemoval();
    if (back.count == 0) return;
    std::vector<bool> chosen(std::size_t(list.count()), false);
    chosen[std::size_t(back.first - 1)] = true;
    select(chosen, back.first - 1);
}

void ListEditing::keepOnly() {
    if (refusedDuringRun(tr("Keep Only cannot be used while downloading.")) || form_.isBusy()) return;
    QList<Dialogs::KeepOnlyPreset> presets;
    for (const KeepOnly::Preset& preset : KeepOnly::Presets())
        presets.append({QCoreApplication::translate("KeepOnly", preset.name), QString::fromLatin1(preset.pattern)});
    count_ = std::make_unique<Count>(form_.urlList());
    const std::optional<QString> pattern = form_.dialogs().keepOnly(presets, *count_);
    if (!pattern) {
        count_->scan.stop();
        return;
    }
    const Fw::Result<KeepOnly::Rule> rule = KeepOnly::Rule::Parse(*pattern);
    if (!rule) {
        count_->scan.stop();
        form_.dialogs().msgBox(tr("Keep Only: %1").arg(rule.error().text), Dialogs::Exclamation);
        return;
    }
    if (count_->pattern != *pattern) {
        count_->pattern = *pattern;
        count_->scan.start(*rule);
    }
    if (count_->scan.advance(20)) return finishKeepOnly();
    // A long list is still being counted: the rest is done as the window goes on, under the busy
    // pointer, which keeps a run and other removals off the list meanwhile.
    keepOnlyPending_ = true;
    pointerBefore_ = form_.mousePointer();
    form_.setMousePointer(PointerBusy);
    connect(&count_->scan, &KeepOnly::Scan::done, this, [this] {
        if (!keepOnlyPending_) return;
        keepOnlyPending_ = false;
        form_.setMousePointer(pointerBefore_);
        finishKeepOnly();
    });
}

void ListEditing::finishKeepOnly() {
    const bool tooSlow = count_->scan.isTooSlow();
    count_->scan.removeTheRest();
    count_->scan.stop();
    count_->slow.stop();
    if (tooSlow) form_.dialogs().msgBox(tr("Keep Only: %1").arg(QCoreApplication::translate("KeepOnly", KeepOnly::kTooSlow)), Dialogs::Exclamation);
}

bool ListEditing::isOwnDrag(const QMimeData* data) const { return form_.urlList().isOwnDrag(data); }

void ListEditing::addToMenu(QMenu& menu) {
    const UrlList& list = form_.urlList();
    const bool selected = form_.selectedEntry() != 0;
    menu.addSeparator();
    QAction* up = menu.addAction(tr("Move Up"), this, [this] { moveSelection(-1); });
    up->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Up));
    up->setEnabled(selected);
    QAction* down = menu.addAction(tr("Move Down"), this, [this] { moveSelection(+1); });
    down->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Down));
    down->setEnabled(selected);
    // The items of a run, and after it.
    const bool running = form_.IsDownloading;
    menu.addSeparator();
    QAction* pause = menu.addAction(form_.selectionIsHeld() ? tr("Resume") : tr("Pause"), this,
                                    [this] { form_.pauseOrResumeSelection(); });
    pause->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    pause->setEnabled(selected && form_.canPauseSelection());
    QAction* retry = menu.addAction(tr("Retry Now"), this, [this] { form_.retrySelection(); });
    retry->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    retry->setEnabled(selected && running && form_.canRetrySelection());
    QAction* change = menu.addAction(tr("Change Address\u2026"), this, [this] { form_.changeAddressOfSelection(); });
    change->setEnabled(selected && form_.canChangeAddress());
    QAction* remove = menu.addAction(tr("Remove"), this, [this] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QCoreApplication::sendEvent(form_.ListView1, &press);
    });
    remove->setShortcut(QKeySequence(Qt::Key_Delete));
    remove->setEnabled(selected);
    QAction* failed = menu.addAction(tr("Retry Failed"), this, [this] { form_.retryFailed(); });
    failed->setEnabled(!running && list.countOutcome(UrlList::Outcome::Failed) > 0);
    menu.addSeparator();
    QAction* keep = menu.addAction(tr("Keep Only..."), this, &ListEditing::keepOnly);
    keep->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    keep->setEnabled(list.count() > 0);
    QAction* undo = menu.addAction(tr("Undo Removal"), this, &ListEditing::undoRemoval);
    undo->setShortcut(QKeySequence::Undo);
    undo->setEnabled(list.canUndo());
}

bool ListEditing::eventFilter(QObject* watched, QEvent* event) {
    const bool onView = watched == view_;
    const bool onViewport = watched == viewport_;
    if (!onView && !onViewport) return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress: {
        if (!onView) break;
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if (mods == Qt::AltModifier && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down)) {
            moveSelection(key->key() == Qt::Key_Up ? -1 : +1);
            return true;
        }
        if (key->matches(QKeySequence::Undo)) {
            undoRemoval();
            return true;
        }
        if (mods == Qt::ControlModifier && key->key() == Qt::Key_K) {
            keepOnly();
            return true;
        }
        if ((mods == Qt::NoModifier && key->key() == Qt::Key_Space) || (mods == Qt::ControlModifier && key->key() == Qt::Key_P)) {
            form_.pauseOrResumeSelection();
            return true;
        }
        if (mods == Qt::ControlModifier && key->key() == Qt::Key_R) {
            form_.retrySelection();
            return true;
        }
        break;
    }
    case QEvent::DragEnter:
    case QEvent::DragMove:
        if (onViewport) {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (!isOwnDrag(drag->mimeData())) break;  // text or files from elsewhere: ListActions
            drag->setDropAction(Qt::MoveAction);
            drag->accept();
            return true;
        }
        break;
    case QEvent::Drop:
        if (onViewport) {
            auto* drop = static_cast<QDropEvent*>(event);
            if (!isOwnDrag(drop->mimeData())) break;
            // Onto the upper half of a row: before it; the lower half: after it; below the rows:
            // to the end.
            const QPoint at = drop->position().toPoint();
            const QModelIndex row = form_.ListView1->indexAt(at);
            int before = form_.urlList().count();
            if (row.isValid()) before = row.row() + (at.y() > form_.ListView1->visualRect(row).center().y() ? 1 : 0);
            moveSelectionBefore(before);
            drop->setDropAction(Qt::MoveAction);
            drop->accept();
            return true;
        }
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

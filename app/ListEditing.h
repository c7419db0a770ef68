#pragma once
// Editing the list in place: Alt+Up and Alt+Down move the selected entries, a drag moves them
// within the list, Ctrl+Z takes the last removal back, and "Keep Only..." (Ctrl+K) keeps the
// entries a pattern or preset matches; Space (or Ctrl+P) pauses or resumes the selected rows and
// Ctrl+R tries them again. During a run the list is the run's queue: moves change the order items
// begin in and an undo puts entries back as waiting items; only Keep Only waits for the run's end.
// Nothing touches the list while a list job holds it. Made by ListActions, after its own event filters, so that it sees the list's keys and
// drags first.
#include <QObject>
#include <QPointer>

#include <memory>
#include <vector>

class Form1;
class QMenu;
class QMimeData;

class ListEditing : public QObject {
    Q_OBJECT
public:
    ListEditing(Form1& form, QObject* parent);
    ~ListEditing() override;

    void moveSelection(int by);  // -1 up, +1 down
    // The selected entries to stand before row `row` (0-based; the list's count for the end).
    void moveSelectionBefore(int row);
    void undoRemoval();
    void keepOnly();
    // Whether a drag of these data is one of the list's own rows.
    bool isOwnDrag(const QMimeData* data) const;

    void addToMenu(QMenu& menu);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Count;
    bool refusedDuringRun(const QString& what);
    void select(const std::vector<bool>& chosen, int current);
    void finishKeepOnly();

    Form1& form_;
    QPointer<QObject> view_;
    QPointer<QObject> viewport_;
    std::unique_ptr<Count> count_;
    bool keepOnlyPending_ = false;
    int pointerBefore_ = 0;
};

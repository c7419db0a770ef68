#pragma once
// What the list offers besides its buttons: Ctrl+V, dropping text, links or list files, and a
// context menu with Copy and "Save list as…". Installed on the window's list by Form1.
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class Form1;
class QMimeData;
class QMenu;
class QPoint;
class QTreeView;

class ListActions : public QObject {
    Q_OBJECT
public:
    explicit ListActions(Form1& form);

    // Appends every non-blank line of a text (blanks around a line dropped), completed by
    // EnsureHttpPrefix. Returns how many entries were added.
    int appendLines(const QString& text);
    int pasteFromClipboard();
    // Text and links are appended line by line; local text files are loaded as URL lists.
    bool dropMimeData(const QMimeData& data);
    bool canDrop(const QMimeData& data) const;

    void copySelection();
    // Writes the whole list, one address a line. Returns false (after a message) on failure.
    bool saveListTo(const QString& path);
    void saveListAs();
    // Where "Save list as…" asks for the file; replaceable so tests need no real chooser.
    std::function<QString()> chooseSaveFile;

    QMenu* buildContextMenu();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Form1& form_;
    QPointer<QObject> view_;
    QPointer<QObject> viewport_;
};

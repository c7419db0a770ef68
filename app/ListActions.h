#pragma once
// What the list offers besides its buttons: Ctrl+V, dropping text, links or list files, and a
// context menu with Copy, "Remove Duplicates" and "Save list as…". Installed on the window's
// list by Form1.
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class Form1;
class QMimeData;
class QMenu;
class QPoint;
class QTreeView;
class UrlList;

namespace Settings { class Store; }

// Where the choosers of list files (load and save) open: the folder last used for a list, else
// the documents folder, else the home folder.
QString ListChooserFolder(const Settings::Store& store);

// Removes every entry equal to an earlier one (the same text, exactly); the first of each stays
// where it was. Returns how many were removed.
qsizetype RemoveDuplicateEntries(UrlList& list);

class ListActions : public QObject {
    Q_OBJECT
public:
    explicit ListActions(Form1& form);

    // Appends every web address found in the text (Main::FindWebAddresses), found by a list job
    // off the window thread. When there is none, says so once the job ends: "No web addresses
    // found in the <origin> text."
    void appendAddressesIn(const QString& text, const QString& origin);
    void pasteFromClipboard();
    // The addresses in dropped text and links are appended; local text files are loaded as
    // URL lists. Both run as list jobs: no box opens before the drop has returned.
    bool dropMimeData(const QMimeData& data);
    bool canDrop(const QMimeData& data) const;

    // Every selected entry, in list order, one a line.
    void copySelection();
    void removeDuplicates();
    // Writes the whole list, one address a line: a regular file (or a new one) is replaced
    // atomically, a pipe or a character device is written into by a list job (at the reader's
    // pace, off the window thread), anything else is refused. Returns false (after a message that
    // says why) on a failure known at once; a failure of the job is told when it ends.
    bool saveListTo(const QString& path);
    // Asks for the file in the folder last used for a list; a name typed without an extension
    // gets ".txt", so that the list shows in the chooser of list files.
    void saveListAs();

    QMenu* buildContextMenu();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Starts the list job that writes into a pipe or character device; false when it cannot be
    // opened as one.
    bool writeInto(const QString& path, QString* reason);

    Form1& form_;
    QPointer<QObject> view_;
    QPointer<QObject> viewport_;
};

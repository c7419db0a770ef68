#pragma once
// "If File Exists" = "Skip unchanged": what this program stored in a folder (address, stored
// name, validators, size and the file's identity), kept in the state folder, one small file per
// output folder. The next run asks the server only whether each such file changed
// (If-None-Match, If-Modified-Since); a 304 skips the item without a body. Any thread.
#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace Download {

struct StoredFile {
    QString name;  // in the folder
    QByteArray etag, lastModified;
    qint64 size = -1;
    quint64 device = 0, inode = 0;
};

class StoredRecords {
public:
    // The records under `stateFolder`/stored (UnfinishedWork.h's StateFolder() by default).
    explicit StoredRecords(QString stateFolder = {});

    // The file this program stored from `url` into `folder` when it is still there as it was
    // stored: same file (followed through a rename within the folder), same size. Its path in
    // the folder, and what the server said of it.
    struct Found {
        QString path;
        StoredFile file;
    };
    std::optional<Found> find(const QString& folder, const QString& url);
    // Notes a file just stored; written through at once (one appended line).
    void add(const QString& folder, const QString& url, const StoredFile& file);

    // A record file larger than this is started afresh.
    static constexpr qint64 kRecordLimitBytes = 64LL << 20;

private:
    struct Folder {
        QHash<QString, StoredFile> byUrl;
        bool loaded = false;
        // The folder's files by inode, listed once a run at the first file found renamed.
        QHash<quint64, QString> byInode;
        bool indexed = false;
    };
    Folder& folderOf(const QString& folder);
    QString recordPath(const QString& folder) const;

    QString stored_;
    std::mutex lock_;
    QHash<QString, Folder> folders_;
};

}  // namespace Download

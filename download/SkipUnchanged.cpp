#include "download/SkipUnchanged.h"

#include <QDir>
#include <QFileInfo>

#include "download/TargetNaming.h"

namespace Download::Unchanged {

namespace {
QString FolderOf(const EngineItem& item) {
    return QDir::cleanPath(QFileInfo(item.folderText.isEmpty() ? QStringLiteral(".") : item.folderText).absoluteFilePath());
}
}  // namespace

void Ask(EngineItem& item, StoredRecords& records) {
    if (!item.transfer) return;
    const std::optional<StoredRecords::Found> found = records.find(FolderOf(item), item.url);
    if (!found) return;
    // A strong tag proves more than a date; a server given both compares both.
    item.transfer->setConditional(found->file.etag, found->file.lastModified);
    item.skippedAs = found->path;
}

void Prepare(EngineItem& item, const std::shared_ptr<StoredRecords>& records) {
    if (!item.transfer || !records) return;
    auto note = std::make_shared<Note>();
    note->records = records;
    note->folder = FolderOf(item);
    note->url = item.url;
    note->etag = item.transfer->etag();
    note->lastModified = item.transfer->lastModified();
    // Without a validator the server has nothing to compare the next request with.
    if (note->etag.isEmpty() && note->lastModified.isEmpty()) return;
    item.job.stored = std::move(note);
}

void Record(const FinishJob& job, const QString& path, const struct stat& st) {
    if (!job.stored) return;
    StoredFile file;
    file.name = Main::FileNameOf(path, Main::kNativeSeparator);
    file.etag = job.stored->etag;
    file.lastModified = job.stored->lastModified;
    file.size = st.st_size;
    file.device = quint64(st.st_dev);
    file.inode = quint64(st.st_ino);
    job.stored->records->add(job.stored->folder, job.stored->url, file);
}

}  // namespace Download::Unchanged

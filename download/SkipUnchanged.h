#pragma once
// "Skip unchanged" in the engine: an item whose file this program stored in its folder before is
// asked for only if it changed; a stored file is recorded once it has its name. Not for use
// outside the engine.
#include <memory>

#include <sys/stat.h>

#include "download/EngineItem.h"
#include "download/StoredRecord.h"

namespace Download::Unchanged {

// What a complete file's record will say, once it is published.
struct Note {
    std::shared_ptr<StoredRecords> records;
    QString folder, url;
    QByteArray etag, lastModified;
};

// At an item's beginning: a file stored from its address into its folder, still there as it was,
// makes its request conditional; a 304 then skips it as that file.
void Ask(EngineItem& item, StoredRecords& records);
// At the end of a complete transfer: what the publisher records once the file has its name.
void Prepare(EngineItem& item, const std::shared_ptr<StoredRecords>& records);
// The file `job` was published as `path` (`st` its status).
void Record(const FinishJob& job, const QString& path, const struct stat& st);

}  // namespace Download::Unchanged

#pragma once
// An item under way in the engine, as its two halves see it: the scheduling (DownloadEngine.cpp)
// and the durable files (DurableFiles.cpp). Not for use outside the engine.
#include "download/DownloadEngine.h"
#include "download/Transfer.h"
#include "download/UnfinishedWork.h"

#include <memory>

namespace Download {

struct Engine::Active {
    int index = 0;
    QString url, base, host;
    QString folderText;  // the folder part of `base`, as the item's names begin
    FinishJob job;
    bool answered = false;  // its name is chosen (job.base)
    bool named = false;     // and numbered (job.target)
    qint64 answeredAtMs = 0;
    QString skippedAs;      // the file already there that made it skipped
    QString nameError;      // why its answer's name cannot be used
    bool big = false;          // its bytes lie in a recorded partial file
    bool partialTried = false; // one could not be made: it stays anonymous
    PartialRecord partial;
    qint64 syncedBytes = 0;    // what was on disk when the record was last written
    TransferProgress progress;
    std::unique_ptr<Transfer> transfer;
    qint64 retryAtMs = 0;  // waiting for its next try until then
    bool inMulti = false;
};

}  // namespace Download

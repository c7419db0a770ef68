#pragma once
// An item under way in the engine, as the engine's parts see it: the scheduler
// (DownloadEngine.cpp), naming (AnswerNaming.h), publishing (Publisher.h) and kept partials
// (KeptPartials.h). Not for use outside the engine.
#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

#include "download/Checksum.h"
#include "download/TransferTypes.h"
#include "download/FileNaming.h"
#include "download/PartialRecords.h"
#include "download/Transfer.h"
#include "support/UniqueFd.h"

namespace Download {

struct SplitItem;
namespace Unchanged {
struct Note;
}

// The engine's multi handle, kept untyped in its header.
inline CURLM* MultiOf(void* multi) { return static_cast<CURLM*>(multi); }

// The output folder, opened once for the items that go to it.
struct OutputFolder {
    QString path;
    QByteArray registryPath;  // how the registry of named temporaries knows it
    Fw::UniqueFd fd;
    long nameMax = 0;
    quint64 device = 0, inode = 0;
    mutable SpaceBudget space;  // used by the scheduling thread only
};

// A file on its way to its name: its temporary, and the name it is to get.
struct FinishJob {
    int index = 0;
    Fw::UniqueFd fd;  // the temporary file, open (and locked when named)
    std::shared_ptr<const OutputFolder> folder;
    std::chrono::steady_clock::time_point completeAt;
    QByteArray tempName;  // empty for an anonymous file
    QByteArray nameBytes;
    QString base;
    QString target;
    bool onDisk = false;  // a flush of its file system has written it out
    bool madeAhead = false;  // its temporary was made before the item began
    std::optional<qint64> serverTime;  // the answer's Last-Modified (seconds since 1970, negative before)
    std::shared_ptr<Checksum::Check> check;  // the digest its bytes must match, when one is known
    std::shared_ptr<const Unchanged::Note> stored;  // recorded once published ("Skip unchanged")
};

struct EngineItem {
    int index = 0;
    qint64 rank = 0;  // its place in the list: names go in this order among the items under way
    QString url, base, host;
    QString folderText;  // the folder part of `base`, as the item's names begin
    FinishJob job;
    // What the answer said, kept by the transfer's callback for the loop to name it by.
    bool answerWaiting = false;
    AnswerFacts facts;
    qint64 factsTotal = -1;
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
    bool connectionKept = false;  // its last try left its connection open for the next item
    bool heldByEarlier = false;   // an earlier item not begun yet may want the same name
    bool intoCaller = false;  // its body goes to a file of the caller's: no name, no folder
    std::shared_ptr<SplitItem> split;  // its rest comes over several connections (Splitting.h)
    bool splitTried = false;           // it was split once: never again
};

}  // namespace Download

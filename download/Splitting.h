#pragma once
// A big item whose rest comes over several connections: its own transfer brings the first piece,
// and pieces of the rest come as range requests whose answers are proven before they are
// written. Used by the scheduler's thread only.
#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

#include "download/RangeFetch.h"
#include "download/RangePlan.h"

namespace Download {

struct SplitItem {
    SplitItem(qint64 total, qint64 have) : plan(total, {ByteRange{0, have}}) {}
    SplitItem(qint64 total, const std::vector<ByteRange>& onDisk) : plan(total, onDisk) {}
    RangePlan plan;
    int mainPiece = 0;      // the piece the item's own transfer brings
    bool mainDone = false;  // it has brought it
    int startOvers = 0;     // the transfer's count when the item was split
    QByteArray url;         // where the item's answer came from; empty until known
    qint64 resumedFrom = 0;  // a resumed item's own transfer went on from here
    AskedRange proof;       // total, validator and type every piece's answer must match
    std::vector<std::unique_ptr<RangeFetch>> pieces;  // under way
    int refused = 0;        // answers that were not the piece asked
    int failures = 0;       // pieces that did not arrive whole, refused ones included
    int busy = 0;           // pieces the server asked to wait for (429, 503)
    qint64 movedByEnded = 0;
    QString lastWhy;
};

}  // namespace Download

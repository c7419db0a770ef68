#pragma once
// Kept partials: an item that grows big moves its bytes from its anonymous temporary into a
// recorded partial file (name.part) that it goes on writing, so that a stop, a close or a crash
// keeps them for the next run of that address into that folder. Its bytes are flushed and
// recorded every so often by a serial worker of its own, so that the transfers never wait for
// the disk. Used by the scheduling thread.
#include <QHash>
#include <QSet>
#include <QStringList>

#include <memory>
#include <optional>

#include "download/EngineItem.h"
#include "download/PartialRecords.h"
#include "download/Publisher.h"
#include "support/SerialWorker.h"

namespace Download {

class KeptPartials {
public:
    explicit KeptPartials(Publisher& publisher) : publisher_(publisher) {}
    ~KeptPartials() { syncer_.stop(); }

    // A new run: each folder is looked through again for partials no record claims.
    void beginRun() {
        swept_.clear();
        recorded_.reset();
        recordFolders_.clear();
    }
    // What an earlier run of the item's address into its folder kept goes on from where it
    // ended, when it is still the file that run made and no other copy is at it: the item's
    // temporary is that partial then. Before its transfer is made.
    void resume(EngineItem& item);
    // While the item comes in: made a partial once it is big, its record brought up to date as
    // it grows.
    void look(EngineItem& item);
    // The item ends: stopped (a big one's bytes stay, recorded: returns how many the record says
    // are on disk, -1 when nothing is kept), stored (the partial became the file: its record
    // goes) or failed (nothing of it stays, small or big).
    qint64 stopped(EngineItem& item);
    void stored(EngineItem& item);
    void failed(EngineItem& item);

private:
    PartialStore& store();
    void keep(EngineItem& item);
    qint64 syncNow(EngineItem& item);
    void syncLater(EngineItem& item);

    Publisher& publisher_;
    std::unique_ptr<PartialStore> store_;
    QStringList swept_;  // the folders looked through for leftovers in this run  // made when first needed: it reads the environment
    Fw::SerialWorker syncer_;
    // The records there were at the run's first item (listed again after this run writes one),
    // and its folders as the records name them: an item without a record costs no look on disk.
    std::optional<QSet<QByteArray>> recorded_;
    QHash<QString, QString> recordFolders_;
};

}  // namespace Download

#pragma once
// The partial files of big items and their records in the state folder, so that the next run of
// an address into a folder can go on where an earlier one stopped.
#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

#include "download/RangePlan.h"
#include "support/UniqueFd.h"

namespace Download {

// Milliseconds since the epoch. Tests hand in their own to age records.
using Clock = std::function<qint64()>;

// $XDG_STATE_HOME/Fetchwright when that is an absolute path, else ~/.local/state/Fetchwright.
// Not created here.
QString StateFolder();

// Records and partials not touched for this long are removed.
inline constexpr qint64 kKeepUnfinishedMs = 30LL * 24 * 60 * 60 * 1000;

// What is known about the partial file of a big item, in <state>/partials, one file per output
// folder and address. The partial is only ever continued or removed while it is still the file
// this program made: same name (which ends in ".part"), a regular file, the device and inode
// noted when it was created, at least goodLength bytes, and no other copy holding its lock.
// A record naming some other file (forged, or the user replaced the partial) touches nothing.
struct PartialRecord {
    QString url;
    QString folder;
    QString partName;     // a name in `folder`, ending in ".part"
    QByteArray validator; // the ETag or Last-Modified the bytes came with
    qint64 total = -1;    // the whole length the server announced; -1 when unknown
    qint64 goodLength = 0;  // bytes known to be on disk (flushed): never append after more
    // Of an item fetched over several connections: every range of it known to be on disk
    // (flushed), ordered, apart, inside `total`, at most kMostKeptRanges, the first [0, goodLength).
    // Empty for an item that came in order.
    std::vector<ByteRange> ranges;
    // Who the partial is, set by CreatePartialLocked: device and inode, its birth time (as far as
    // the file system keeps one) and a mark in an extended attribute. Inode numbers are given
    // again as soon as a file is deleted, so a file the user put in the partial's place may well
    // have the same inode: the mark and birth time tell it apart, and without both a file is
    // never appended to, cut or removed.
    quint64 device = 0;
    quint64 inode = 0;
    qint64 birthNs = 0;   // 0 where the file system keeps no birth time
    QByteArray mark;      // names the record; a file without it is never taken for a partial
    qint64 savedAt = 0;   // set by the store
};

// More ranges than this make a record that is refused: a split item has far fewer pieces.
inline constexpr std::size_t kMostKeptRanges = 256;

// Is this a name a partial may have: one component, ending in ".part" with a name before it?
bool IsPartialName(const QString& name);

// Creates `record.partName` in `record.folder` (never an existing entry) with an exclusive flock
// held as long as the descriptor is open, marked as ours, and notes who it is in `record`. Record
// it with PartialStore::put only after this. Invalid (with errno) when it could not be made or
// marked (a file system without extended attributes keeps no partials).
Fw::UniqueFd CreatePartialLocked(PartialRecord& record);
// The same, but as an anonymous file of the folder: nothing is seen under record.partName until
// ShowPartial gives it that name, which is done only once its record is on disk, so that a
// partial is never there without its record.
Fw::UniqueFd CreateHiddenPartial(PartialRecord& record);
// Gives a hidden partial the name record.partName, never replacing an entry (errno EEXIST).
bool ShowPartial(int fd, const PartialRecord& record);
// Opens the recorded partial for continuing, when it is still the recorded file: cut back to
// record.goodLength, or the end of its last range (what lies after may never have reached the disk) and positioned at its
// end, with an exclusive flock, so that no two copies continue one partial. Invalid when another
// copy holds it (errno EWOULDBLOCK) or the file is not the recorded one (errno ESTALE) or gone.
Fw::UniqueFd OpenPartialLocked(const PartialRecord& record);

// A folder as the records know it (absolute, without links where it exists), and the key that
// names the record of an address into it: the name of its file without ".rec".
QString PartialRecordFolder(const QString& folder);
QByteArray PartialRecordKey(const QString& inRecordFolder, const QString& url);

class PartialStore {
public:
    explicit PartialStore(QString stateFolder = StateFolder(), Clock clock = {});

    // Records or updates the partial of (record.folder, record.url), whole or not at all.
    bool put(PartialRecord record);
    std::optional<PartialRecord> find(const QString& folder, const QString& url) const;
    // The keys (PartialRecordKey) of the records there are now, from one listing: a run of many
    // items asks it once rather than looking into the records' folder for each item.
    QSet<QByteArray> recordKeys() const;
    // Forgets the record only (the item was stored: its partial became the stored file).
    void remove(const QString& folder, const QString& url);
    // The partial of `fromUrl` goes on as the one of `toUrl`, with `validator` (another address
    // proved to serve the same file): it is marked anew and recorded under the new address before
    // the old record goes. False, with nothing changed, when it is not the recorded file, another
    // copy holds it, or the new record cannot be written.
    bool move(const QString& folder, const QString& fromUrl, const QString& toUrl, const QByteArray& validator);
    // Forgets the record and removes its partial when that is still the recorded one and not
    // in use. True when a partial was removed.
    bool removeWithPartial(const QString& folder, const QString& url);
    // How many bytes the records of these addresses into `folder` say are kept on disk. Reads
    // the records once, however many addresses there are.
    qint64 keptBytes(const QString& folder, const QStringList& urls) const;
    // The partials of a run the user does not want back. Returns how many files were removed.
    int removeForRun(const QString& folder, const QStringList& urls);
    // Partials of ours in `folder` (marked) that no record claims: a copy killed while it made
    // or ended one left them. Those a live copy holds stay. Returns how many were removed.
    int removeUnclaimed(const QString& folder);
    // Records not updated for kKeepUnfinishedMs go, with their partials (as removeWithPartial);
    // records that cannot be read go alone. Returns how many partial files were removed.
    int removeExpired();

private:
    QString recordPath(const QString& folder, const QString& url) const;
    bool removeRecordAndPartial(const QString& recordFile, const PartialRecord& record);

    QString partialsFolder_;
    Clock clock_;
};

}  // namespace Download

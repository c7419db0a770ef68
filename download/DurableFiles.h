#pragma once
// How a download becomes a file that is either whole and named or not there at all: data goes to
// a temporary in the output folder, is flushed to disk, and only then gets its name, with an
// operation that never replaces an existing entry.
#include <QString>

#include "support/Result.h"
#include "support/UniqueFd.h"

namespace Download {

// Each item is fetched into an anonymous file of the output folder (O_TMPFILE) that gets its
// name only when it is complete: a killed run leaves nothing. Where the file system has no
// anonymous files (FAT, some network file systems) a named temporary ".fetchwright-XXXXXX.part"
// (six letters or digits) stands in; it is locked from its creation until it has its name, and
// recorded in a per-user registry (one empty file per temporary under
// $XDG_STATE_HOME/Fetchwright/temporaries, named after its device, inode and name).
bool IsTemporaryName(const QString& fileName);
// Removes the named temporaries a killed run left in `folder`: only those the registry records
// as this user's, whose lock is free and whose name still belongs to the recorded file. A file
// merely named like one (downloaded, or the user's own) stays. Returns how many were removed.
int RemoveLeftoverTemporaries(const QString& folder);

// How a temporary is made: Best tries an anonymous file first; Named is what a file system
// without anonymous files gets, and is chosen directly only by tests.
enum class TemporaryMethod { Best, Named };

// Publishes `from` as `to` inside one folder without ever replacing an entry called `to`
// (error kind NameTaken when the name is taken).
enum class PublishMethod { Best, LinkUnlink, ReserveRename };
Fw::Result<void> PublishWithoutReplace(int dirFd, const char* from, const char* to,
                                       PublishMethod method = PublishMethod::Best);

// Can one flush of a whole file system (syncfs) stand in for the fsync of each file on it? Only
// where that flush reaches the disk and reports every file's write errors: local disk file
// systems on a kernel of 5.17 or later. A file system stacked on another (overlay, encrypted),
// a network or FUSE one, or an older kernel gets an fsync per file.
bool SharedFlushCoversFiles(long fileSystemType, const char* kernelRelease);

// The pieces the engine's publishing is made of.
namespace Durable {
// A folder's path as the registry of named temporaries knows it: absolute, without links.
QByteArray RegistryPath(const QString& folder);
// A named temporary in the folder, locked and then recorded; invalid (with errno) when none
// could be made.
Fw::UniqueFd CreateNamedTemporary(int dirFd, const QByteArray& registryPath, QByteArray& tempName);
// Removes a named temporary while its lock is still held, then its record.
void DropNamedTemporary(int dirFd, const QByteArray& registryPath, const QByteArray& tempName);
void UnregisterTemporary(const QByteArray& registryPath, const char* tempName);
// Can an anonymous file be named (linked through /proc)?
bool ProcFdUsable();
// A new anonymous file in the folder, open for reading and writing; invalid (with errno) where the
// file system has none or the folder cannot take one.
Fw::UniqueFd CreateAnonymous(int dirFd);
// Gives an anonymous file its name, never replacing an entry (NameTaken when taken).
Fw::Result<void> LinkAnonymous(int fd, int dirFd, const char* to);
// SharedFlushCoversFiles for the file system `fd` lies on, on this kernel.
bool SharedFlushCovers(int fd);
}  // namespace Durable

}  // namespace Download

// Durable files: the temporaries an item's data goes to (anonymous, or named and recorded),
// and publishing under a name without ever replacing an existing entry.
#include "download/DurableFiles.h"
#include "download/PartialRecords.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace Download {
namespace {

constexpr char kTempPrefix[] = ".fetchwright-";
constexpr char kTempSuffix[] = ".part";
constexpr int kTempRandom = 6;

bool isAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isTemporaryName(const char* name) {
    const size_t prefix = sizeof kTempPrefix - 1;
    const size_t suffix = sizeof kTempSuffix - 1;
    if (std::strlen(name) != prefix + kTempRandom + suffix) return false;
    if (std::strncmp(name, kTempPrefix, prefix) != 0) return false;
    for (int i = 0; i < kTempRandom; ++i)
        if (!isAlnum(name[prefix + i])) return false;
    return std::strcmp(name + prefix + kTempRandom, kTempSuffix) == 0;
}

QByteArray randomTemporaryName() {
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name(kTempPrefix);
    for (int i = 0; i < kTempRandom; ++i)
        name.append(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))]);
    name.append(kTempSuffix);
    return name;
}

// The registry of named temporaries: one empty file per temporary, named after the folder it lies
// in and its own name, so that a clean-up can prove a file is one this user's copies made. The
// folder counts by its path, not its inode: a file system mounted again (a FAT stick) gives its
// files new inode numbers, and its leftovers must still be found.
QByteArray registryFolder() { return QFile::encodeName(StateFolder()) + "/temporaries"; }

QByteArray folderKey(const QByteArray& folder) {
    return QCryptographicHash::hash(folder, QCryptographicHash::Sha1).toHex().left(24);
}

QByteArray registryEntry(const QByteArray& folder, const char* tempName) {
    return registryFolder() + '/' + folderKey(folder) + '-' + tempName;
}

bool registerTemporary(const QByteArray& folder, const char* tempName) {
    const QByteArray entry = registryEntry(folder, tempName);
    Fw::UniqueFd fd(::open(entry.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd && errno == ENOENT && QDir().mkpath(QFile::decodeName(registryFolder())))
        fd.reset(::open(entry.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    return fd.valid();
}

void unregisterTemporary(const QByteArray& folder, const char* tempName) {
    ::unlink(registryEntry(folder, tempName).constData());
}

bool isRegistered(const QByteArray& folder, const char* tempName) {
    return ::access(registryEntry(folder, tempName).constData(), F_OK) == 0;
}

// A folder's path as the registry knows it: absolute, without links.
QByteArray registryPath(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return QFile::encodeName(canonical.isEmpty() ? QDir(folder).absolutePath() : canonical);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

int removeLeftovers(int dirFd, const QByteArray& folder) {
    Fw::UniqueFd listFd(::dup(dirFd));
    if (!listFd) return 0;
    DIR* dir = ::fdopendir(listFd.get());
    if (!dir) return 0;
    listFd.release();  // the stream owns it now
    ::rewinddir(dir);
    int removed = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (!isTemporaryName(entry->d_name)) continue;
        Fw::UniqueFd fd(::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st, now;
        // The lock first: a running copy holds it from creation to naming, and the registry and
        // name are read only once nobody can be between those steps.
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (!isRegistered(folder, entry->d_name)) continue;
        if (::fstatat(dirFd, entry->d_name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(st, now)) continue;
        if (::unlinkat(dirFd, entry->d_name, 0) == 0) ++removed;
        unregisterTemporary(folder, entry->d_name);
    }
    ::closedir(dir);
    return removed;
}

}  // namespace

namespace Durable {

QByteArray RegistryPath(const QString& folder) { return registryPath(folder); }
void UnregisterTemporary(const QByteArray& folder, const char* tempName) { unregisterTemporary(folder, tempName); }

// Can an anonymous file be named through /proc (linkat with AT_EMPTY_PATH needs a privilege)?
bool ProcFdUsable() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

Fw::UniqueFd CreateAnonymous(int dirFd) { return Fw::UniqueFd(::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666)); }

Fw::Result<void> LinkAnonymous(int fd, int dirFd, const char* to) {
    // The descriptor itself, where the kernel lets the one who opened the file link it (Linux
    // 6.10 and later, or a process that may read any folder); else its path under /proc, which
    // costs a walk through /proc for each file.
    static std::atomic<bool> emptyPathRefused{false};
    if (!emptyPathRefused.load(std::memory_order_relaxed)) {
        if (::linkat(fd, "", dirFd, to, AT_EMPTY_PATH) == 0) return {};
        if (errno == EEXIST) return Fw::Error::nameTaken(EEXIST);
        if (errno != ENOENT && errno != EPERM && errno != EINVAL) return Fw::Error::fromErrno(errno);
        emptyPathRefused.store(true, std::memory_order_relaxed);
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    if (::linkat(AT_FDCWD, path, dirFd, to, AT_SYMLINK_FOLLOW) == 0) return {};
    return errno == EEXIST ? Fw::Error::nameTaken(EEXIST) : Fw::Error::fromErrno(errno);
}

}  // namespace Durable

bool IsTemporaryName(const QString& fileName) { return isTemporaryName(QFile::encodeName(fileName).constData()); }

int RemoveLeftoverTemporaries(const QString& folder) {
    const Fw::UniqueFd dirFd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dirFd ? removeLeftovers(dirFd.get(), registryPath(folder)) : 0;
}

Fw::Result<void> PublishWithoutReplace(int dirFd, const char* from, const char* to, PublishMethod method) {
    auto failure = [](int error) { return error == EEXIST ? Fw::Error::nameTaken(EEXIST) : Fw::Error::fromErrno(error); };
    if (method == PublishMethod::Best) {
        if (::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0) return {};
        // Only a file system without the flag goes on to the older ways.
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return failure(errno);
        method = PublishMethod::LinkUnlink;
    }
    if (method == PublishMethod::LinkUnlink) {
        if (::linkat(dirFd, from, dirFd, to, 0) == 0) {
            ::unlinkat(dirFd, from, 0);
            return {};
        }
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return failure(errno);
    }
    // No hard links here either: take the name with an exclusive create, then move the file
    // over that reservation of our own.
    Fw::UniqueFd reserved(::openat(dirFd, to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!reserved) return failure(errno);
    reserved.reset();
    if (::renameat(dirFd, from, dirFd, to) == 0) return {};
    const int error = errno;
    ::unlinkat(dirFd, to, 0);
    return failure(error);
}

bool SharedFlushCoversFiles(long fileSystemType, const char* kernelRelease) {
    // Write errors of every file reach syncfs from 5.8 on, the file system's own errors from 5.17.
    int major = 0, minor = 0;
    if (!kernelRelease || std::sscanf(kernelRelease, "%d.%d", &major, &minor) != 2) return false;
    if (major < 5 || (major == 5 && minor < 17)) return false;
    switch (static_cast<unsigned long>(fileSystemType) & 0xffffffffUL) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case MSDOS_SUPER_MAGIC:
    case EXFAT_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

namespace Durable {

bool SharedFlushCovers(int fd) {
    static const QByteArray release = [] {
        utsname names{};
        return ::uname(&names) == 0 ? QByteArray(names.release) : QByteArray();
    }();
    struct statfs fs{};
    return ::fstatfs(fd, &fs) == 0 && SharedFlushCoversFiles(static_cast<long>(fs.f_type), release.constData());
}

// A named temporary, locked before anyone can take its lock for a clean-up and recorded only
// then; a clean-up reads the record after taking the lock, so it never takes a file in use.
Fw::UniqueFd CreateNamedTemporary(int dirFd, const QByteArray& folder, QByteArray& tempName) {
    Fw::UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        tempName = randomTemporaryName();
        fd.reset(::openat(dirFd, tempName.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST) break;
    }
    if (!fd) return fd;
    struct stat st;
    // A clean-up that opened it first holds the lock only until it finds no record.
    if (::flock(fd.get(), LOCK_EX) != 0 || ::fstat(fd.get(), &st) != 0) {
        const int error = errno;
        ::unlinkat(dirFd, tempName.constData(), 0);
        errno = error;
        return {};
    }
    // Unrecorded, it is only never cleaned up after a crash.
    registerTemporary(folder, tempName.constData());
    return fd;
}

// Removes a named temporary while its lock is still held, then its record.
void DropNamedTemporary(int dirFd, const QByteArray& folder, const QByteArray& tempName) {
    ::unlinkat(dirFd, tempName.constData(), 0);
    unregisterTemporary(folder, tempName.constData());
}

}  // namespace Durable
}  // namespace Download

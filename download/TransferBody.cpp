#include "download/TransferBody.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace Download {

namespace {

// Free space is looked at every few MB, more often only as it nears the reserve.
constexpr qint64 kSpaceCheckBytes = 4 << 20;

// Is there room for `chunk` more bytes, and for the rest of a body whose length is known, above
// the reserve? Plans the next look so that what comes until then fits in half the room left.
template <class B>
bool roomFor(B& body, qint64 chunk) {
    struct statvfs fs {};
    // A file system without a size (a memory file, a pipe) has no free space to speak of.
    if (::fstatvfs(body.fd, &fs) != 0 || fs.f_blocks == 0) {
        body.space->allowance = chunk + kSpaceCheckBytes;
        return true;
    }
    const qint64 size = qint64(fs.f_blocks) * qint64(fs.f_frsize);
    const qint64 room = qint64(fs.f_bavail) * qint64(fs.f_frsize) - std::min(body.reserve, size / 20);
    const qint64 needed = std::max<qint64>(chunk, body.total > 0 ? body.total - body.bytes : 0);
    body.lengthChecked = true;
    if (room < needed) return false;
    body.space->allowance = chunk + std::min(kSpaceCheckBytes, (room - chunk) / 2);
    body.space->roomy = (room - chunk) / 2 >= kSpaceCheckBytes;
    return true;
}

// Must the free space be looked at before `chunk` more bytes are written? Not while they fit in
// what the last look allowed, which several transfers into one folder share; an announced
// length is weighed against it at its first byte.
template <class B>
bool spaceCheckDue(const B& body, qint64 chunk) {
    const qint64 allowance = body.space->allowance;
    if (chunk > allowance) return true;
    return !body.lengthChecked && body.total > 0 && body.total - body.bytes > allowance;
}

bool writeAll(Transfer::Body& body, const char* data, qint64 count) {
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = ::write(body.fd, data + done, size_t(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            body.error = errno;
            return false;
        }
        done += n;
    }
    body.bytes += count;
    if (body.writeBehind > 0 && body.start >= 0 && body.bytes - body.handedOver >= body.writeBehind) {
        // Start the disk on what has come so far, without waiting for it.
        ::sync_file_range(body.fd, body.start + body.handedOver, body.bytes - body.handedOver, SYNC_FILE_RANGE_WRITE);
        body.handedOver = body.bytes;
    }
    return true;
}

constexpr qint64 kPage = 4096;
// What is held before it is written: several of libcurl's pieces, in one write.
constexpr qint64 kPendingCapacity = 128 * 1024;
constexpr qint64 kPieceBytes = CURL_MAX_WRITE_SIZE;

}  // namespace

bool Transfer::Body::writePending(bool whole) {
    qint64 count = pendingBytes;
    if (!whole) {
        const qint64 at = std::max<off_t>(start, 0) + bytes;  // where the held bytes begin in the file
        count = ((at + pendingBytes) & ~(kPage - 1)) - at;
        if (count <= 0) return true;
    }
    if (!writeAll(*this, pending.get(), count)) return false;
    pendingBytes -= count;
    if (pendingBytes > 0)
        std::memmove(pending.get(), pending.get() + count, size_t(pendingBytes));
    else if (whole)
        pending.reset();
    return true;
}

bool Transfer::Body::store(const char* data, qint64 count) {
    // Near the reserve nothing waits: what this body holds goes out with the piece.
    if (reserve >= 0 && !space->roomy) return writePending(true) && writeAll(*this, data, count);
    const bool last = total > 0 && bytes + pendingBytes + count >= total;
    if (pendingBytes == 0 && (last || count > kPendingCapacity - kPieceBytes)) return writeAll(*this, data, count);
    if (pendingBytes + count > kPendingCapacity) {
        if (!writePending(true)) return false;
        if (count > kPendingCapacity - kPieceBytes) return writeAll(*this, data, count);
    }
    if (!pending) pending = std::make_unique_for_overwrite<char[]>(size_t(kPendingCapacity));
    std::memcpy(pending.get() + pendingBytes, data, size_t(count));
    pendingBytes += count;
    if (last) return writePending(true);
    // Out once another piece might not fit, up to the last whole page; the rest waits for more.
    return pendingBytes + kPieceBytes <= kPendingCapacity || writePending(false);
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<Transfer::Body*>(user);
    // A shut gate pauses the transfer; libcurl hands the same data again once it is resumed.
    if (body->gate && !body->gate->open(SteadyNowMs())) {
        body->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (!body->begun && !body->begin()) return 0;  // libcurl ends the transfer with a write error
    size_t total = size * count;
    const qint64 come = body->bytes + body->pendingBytes;
    if (body->limit >= 0 && come + qint64(total) >= body->limit) {
        // The rest comes over other connections: what lies past the limit is not written.
        total = size_t(std::max<qint64>(0, body->limit - come));
        body->reachedLimit = true;
    }
    if (body->reserve >= 0) {
        // What it holds goes out first, so that the free space looked at counts it.
        if (spaceCheckDue(*body, qint64(total)) && (!body->writePending(true) || !roomFor(*body, qint64(total)))) {
            body->noRoom = body->error == 0;
            return 0;
        }
        body->space->allowance -= qint64(total);
    }
    if (body->digest) body->digest->add(data, static_cast<qint64>(total));
    body->moved += static_cast<qint64>(total);
    if (!body->store(data, static_cast<qint64>(total))) return 0;
    // Its part is in: the connections that bring the rest count on it being in the file.
    if (body->reachedLimit && !body->writePending(true)) return 0;
    if (body->gate) body->gate->consume(qint64(total));
    if (body->progress) body->progress->received.store(body->bytes + body->pendingBytes, std::memory_order_relaxed);
    return body->reachedLimit ? 0 : size * count;
}

}  // namespace Download

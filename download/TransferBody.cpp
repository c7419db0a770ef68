#include "download/TransferBody.h"

#include <algorithm>
#include <cerrno>

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

}  // namespace

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<Transfer::Body*>(user);
    // A shut gate pauses the transfer; libcurl hands the same data again once it is resumed.
    if (body->gate && !body->gate->open(SteadyNowMs())) {
        body->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (!body->begun && !body->begin()) return 0;  // libcurl ends the transfer with a write error
    size_t total = size * count;
    if (body->limit >= 0 && body->bytes + qint64(total) >= body->limit) {
        // The rest comes over other connections: what lies past the limit is not written.
        total = size_t(std::max<qint64>(0, body->limit - body->bytes));
        body->reachedLimit = true;
    }
    if (body->reserve >= 0) {
        if (spaceCheckDue(*body, qint64(total)) && !roomFor(*body, qint64(total))) {
            body->noRoom = true;
            return 0;
        }
        body->space->allowance -= qint64(total);
    }
    size_t done = 0;
    while (done < total) {
        const ssize_t n = ::write(body->fd, data + done, total - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            body->error = errno;
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    if (body->digest) body->digest->add(data, static_cast<qint64>(total));
    body->bytes += static_cast<qint64>(total);
    body->moved += static_cast<qint64>(total);
    if (body->gate) body->gate->consume(qint64(total));
    if (body->progress) body->progress->received.store(body->bytes, std::memory_order_relaxed);
    if (body->writeBehind > 0 && body->start >= 0 && body->bytes - body->handedOver >= body->writeBehind) {
        // Start the disk on what has come so far, without waiting for it.
        ::sync_file_range(body->fd, body->start + body->handedOver, body->bytes - body->handedOver,
                          SYNC_FILE_RANGE_WRITE);
        body->handedOver = body->bytes;
    }
    return body->reachedLimit ? 0 : size * count;
}

}  // namespace Download

#pragma once
// The web downloader: fetches one address and streams its body into an open file. One
// Downloader keeps its connection cache across calls, so items on one host reuse the
// connection. A Downloader is used by one thread at a time; cancel() may come from any thread.
#include <QString>

#include <atomic>
#include <memory>

#include "support/Result.h"

namespace Download {

struct TransferLimits {
    long connectTimeoutMs = 15000;  // giving up on a server that does not answer
    long stallSeconds = 30;         // giving up on a transfer that stops moving
    long maxRedirects = 10;
    // An item fails ("Not enough free disk space") before the output folder's file system has
    // less than this free, or a twentieth of its size when that is less; negative: no check.
    qint64 freeReserveBytes = qint64(64) << 20;
};

struct TransferInfo {
    long httpStatus = 0;
    QString finalUrl;  // after redirects
    qint64 bytes = 0;  // body bytes written
};

class Downloader {
public:
    explicit Downloader(TransferLimits limits = {});
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Fetches FetchAddress(url) (http or https only, refused before any connection otherwise;
    // redirects followed to http or https only) and writes the body to `fd` from its current
    // position. A status of 400 or above, and a redirect that ends the transfer, are failures
    // ("HTTP 404", "Could not resolve host: …"; kind Cancelled when cancelled). Blocks until the
    // transfer ends or is cancelled.
    Fw::Result<TransferInfo> fetchToFd(const QString& url, int fd);

    // Aborts the transfer in progress, if any, within a fraction of a second; a cancelled
    // downloader refuses further transfers until reset().
    void cancel();
    void reset();
    bool isCancelled() const;

    // Hands the body to the disk every `bytes` bytes while the transfer goes on (0, the default:
    // when the system likes), so that a flush at the end has little left to wait for.
    void setWriteBehind(qint64 bytes);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace Download

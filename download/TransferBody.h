#pragma once
// Where a transfer's body goes: the file, its free space, the shared rate, the digest, and what
// the answer it came from said about itself. Inside a transfer only (Transfer.cpp and the write
// callback, TransferBody.cpp).
#include <QByteArray>

#include <curl/curl.h>

#include <memory>
#include <optional>

#include <sys/types.h>

#include "download/AnswerRules.h"
#include "download/Checksum.h"
#include "download/RateGate.h"
#include "download/Transfer.h"

namespace Download {

// Where one body goes, and what the answer it came from said about itself.
struct Transfer::Body {
    CURL* easy = nullptr;
    int fd = -1;
    off_t start = -1;   // file offset where the body begins; -1 when the file cannot seek
    qint64 bytes = 0;   // body bytes in the file
    // Body bytes that came after them, held so that the file is written in whole pages and in
    // few calls: a write that ends inside a page makes the system clear the rest of that page,
    // and libcurl hands a body over in pieces of 16 KB. Allocated for a body of more than one
    // piece, freed when its try ends.
    std::unique_ptr<char[]> pending;
    qint64 pendingBytes = 0;
    qint64 moved = 0;   // body bytes written in all, restarts included
    int error = 0;      // errno of a failed write
    qint64 writeBehind = 0;
    qint64 handedOver = 0;  // body bytes already given to the disk
    TransferProgress* progress = nullptr;
    qint64 reserve = -1;           // TransferLimits::freeReserveBytes
    SpaceBudget* space = nullptr;  // what may be written before the free space is looked at again
    SpaceBudget ownSpace;
    bool lengthChecked = false;    // the room for this answer's announced length was looked at
    bool noRoom = false;
    RateGate* gate = nullptr;
    Checksum::Running* digest = nullptr;
    bool paused = false;
    const Transfer::AnswerHandler* answer = nullptr;
    QByteArray fetched;        // the address asked for, as libcurl was given it
    QString fetchedSegment;    // and the last segment of its path
    bool decided = false;  // the handler has had its answer
    bool skipped = false;  // and declined the body
    qint64 limit = -1;         // bytes from here on are not wanted
    bool reachedLimit = false;
    int startOvers = 0;

    // This try.
    qint64 resumeFrom = -1;   // the try asked for the body from this byte on
    qint64 askedEnd = -1;     // and up to here (other connections bring the rest), -1: to the end
    QByteArray validator;     // the ETag or Last-Modified it sent in If-Range
    bool begun = false;       // its first body byte came
    bool restart = false;     // its answer cannot be appended: ask for the whole body again
    bool keepRefused = false; // a kept part whose answer cannot be appended stays as it is
    long refusedStatus = 0;   // its answer was an error or a redirect page, not the file

    // The answer whose body is in the file.
    qint64 total = -1;
    QByteArray etag, lastModified;
    bool acceptsRanges = false;

    void startOver() {
        ++startOvers;
        if (digest) digest->reset();
        if (bytes > 0 && start >= 0) {
            ::ftruncate(fd, start);
            ::lseek(fd, start, SEEK_SET);
        }
        bytes = 0;
        dropPending();
        handedOver = 0;
        lengthChecked = false;
        total = -1;
        etag.clear();
        lastModified.clear();
        acceptsRanges = false;
        if (progress) {
            progress->received.store(0, std::memory_order_relaxed);
            progress->total.store(-1, std::memory_order_relaxed);
        }
    }

    // Called at the answer's first body byte: append, start over, or refuse it.
    bool begin() {
        begun = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 300) {
            refusedStatus = status;
            return false;
        }
        if (resumeFrom >= 0 && status == 206) {
            const std::optional<ContentRange> range = parseContentRange(headerOf(easy, "Content-Range"));
            const bool sameFile = range && range->first == resumeFrom && range->total == total &&
                                  (headerOf(easy, "ETag") == validator || headerOf(easy, "Last-Modified") == validator);
            if (!sameFile) {
                restart = true;
                return false;
            }
            return true;  // the file goes on at resumeFrom, where it ends
        }
        if (status == 206) {  // a part of the body that nobody asked for
            refusedStatus = status;
            return false;
        }
        if (resumeFrom >= 0 && keepRefused) {  // the whole file instead of its rest: the part stays
            restart = true;
            return false;
        }
        startOver();
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        total = length > 0 ? static_cast<qint64>(length) : -1;
        etag = headerOf(easy, "ETag");
        lastModified = headerOf(easy, "Last-Modified");
        acceptsRanges = headerOf(easy, "Accept-Ranges").toLower() == "bytes";
        if (progress) progress->total.store(total, std::memory_order_relaxed);
        return decide();
    }

    AnswerFacts facts() const {
        AnswerFacts f;
        char* effective = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective)
            f.finalUrl = QString::fromUtf8(effective);
        if (effective && fetched == effective) f.lastSegment = fetchedSegment;
        f.contentDisposition = headerOf(easy, "Content-Disposition");
        f.contentType = headerOf(easy, "Content-Type");
        return f;
    }

    // The handler sees the first answer that fills the file; a later try of the same file does
    // not ask again.
    bool decide() {
        if (decided || !answer || !*answer) return true;
        decided = true;
        if ((*answer)(facts(), total)) return true;
        skipped = true;
        return false;
    }

    // The validator a range request may send, empty when the answer gave no usable one.
    QByteArray rangeValidator() const {
        if (!etag.isEmpty() && !etag.startsWith("W/")) return etag;  // If-Range takes strong tags only
        return lastModified;
    }
    // Writes the held bytes out: all of them, or (`whole` false) those that end on a page's end.
    // False, with `error` set, when the file refused them.
    bool writePending(bool whole);
    void dropPending() {
        pending.reset();
        pendingBytes = 0;
    }
    // Takes the next body bytes: into the file, or held until more of them fill whole pages.
    bool store(const char* data, qint64 count);

    bool canResume() const {
        return start >= 0 && bytes > 0 && acceptsRanges && total > bytes && !rangeValidator().isEmpty();
    }
};

// libcurl's write callback: `user` is the transfer's Body.
size_t WriteBody(char* data, size_t size, size_t count, void* user);

}  // namespace Download

#pragma once
// The pieces of one big item fetched over several connections at once, and the proof asked of
// each piece's answer before a byte of it is written (download/Splitting.cpp uses them).
//
// A plan knows which byte ranges of the item are on disk, which are under way (each with how far
// it has come) and which wait for a connection. The rest of a running range is cut into pieces
// of at least kLeastRange for idle connections; a connection whose range is done takes the next
// waiting piece, or else half of the largest range still running, so that all end together.
#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

#include "support/Result.h"

namespace Download {

// The bytes [first, end) of an item.
struct ByteRange {
    qint64 first = 0;
    qint64 end = 0;
    qint64 size() const { return end - first; }
    bool operator==(const ByteRange&) const = default;
};

class RangePlan {
public:
    static constexpr qint64 kLeastRange = qint64(1) << 20;
    // A range is split only while this much of it is left to come.
    static constexpr qint64 kLeastToSplit = qint64(8) << 20;

    // An item of `total` bytes (> 0), of which `onDisk` are in its file already (from a record:
    // ranges outside the item, overlapping or unordered are refused, and nothing is taken then).
    explicit RangePlan(qint64 total, const std::vector<ByteRange>& onDisk = {});
    bool valid() const { return total_ > 0; }
    qint64 total() const { return total_; }

    // Hands the next waiting piece to a connection, or else the second half of the largest
    // running range (that range now ends where the half begins); none when nothing is worth
    // taking. The piece's id names it from then on.
    struct Piece {
        int id = 0;
        ByteRange range;
    };
    std::optional<Piece> take();
    // Cuts the rest of running range `id` so that `connections` more connections may each take a
    // piece of at least kLeastRange; the running one keeps the first piece. Returns how many
    // pieces now wait (0 when its rest is too small to split).
    int split(int id, int connections);

    // `bytes` more of piece `id` arrived at its position: how many of them belong to it (the
    // rest lies beyond its end, which a later cut may have moved) and are to be written.
    qint64 accept(int id, qint64 bytes);
    // Where piece `id` writes its next byte, and where it ends; nullopt when it is not running.
    std::optional<ByteRange> remaining(int id) const;
    // Piece `id` reached its end: its bytes are in.
    void finished(int id);
    // Piece `id` failed: what it wrote stays (it was proven), the rest waits again.
    void failed(int id);

    // Ranges whose bytes are written, running pieces' written beginnings included, ordered and
    // merged: what a record of the partial holds once the file is flushed.
    std::vector<ByteRange> written() const;
    // The ranges not yet written, in order.
    std::vector<ByteRange> missing() const;
    bool complete() const;
    int running() const { return static_cast<int>(running_.size()); }

    // "first-end,first-end": the text a record keeps; ParseRanges refuses anything else.
    static QByteArray FormatRanges(const std::vector<ByteRange>& ranges);
    static std::optional<std::vector<ByteRange>> ParseRanges(const QByteArray& text, qint64 total);

private:
    struct Running {
        int id = 0;
        qint64 first = 0, position = 0, end = 0;
    };
    std::vector<Running>::iterator find(int id);
    void addWritten(ByteRange range);

    qint64 total_ = 0;
    int nextId_ = 1;
    std::vector<ByteRange> done_;     // ordered and merged
    std::vector<ByteRange> waiting_;  // ordered
    std::vector<Running> running_;
};

// What a range request asked for: bytes [first, last] of a file of `total` bytes that came with
// `validator` (its strong ETag, or its Last-Modified) and, when the first answer had one,
// `contentType`.
struct AskedRange {
    qint64 first = 0, last = 0, total = 0;
    QByteArray validator;
    QByteArray contentType;
};

// What came back, at its first body byte.
struct RangeAnswer {
    long status = 0;
    bool sameAddress = true;  // no redirect led elsewhere
    QByteArray contentRange, etag, lastModified, contentType;
};

// Succeeds only for a 206 whose Content-Range is exactly the range asked, of the same total,
// with the same validator (and Content-Type, when one was known); else says why the answer is not
// a piece of the same file, and nothing of it may be written.
Fw::Result<void> CheckRangeAnswer(const AskedRange& asked, const RangeAnswer& answer);

}  // namespace Download

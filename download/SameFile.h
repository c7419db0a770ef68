#pragma once
// Whether another address serves the very file a kept part was cut from, so that the part may be
// continued under that address: an expired signed link mended from its page, or an address the
// user changed. One range request of at most 64 KB (the kept part's last bytes) decides: its
// answer must be of the part's whole length, and either carry the part's strong ETag or
// Last-Modified, or hold the very bytes the part ends with. Blocking, for work off the window's
// thread; needs no window.
#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

#include "download/PartialRecords.h"
#include "download/TransferTypes.h"

namespace Download {

struct RequestOptions;

// The bytes before the end of what is kept that the proof asks for again.
inline constexpr qint64 kProofBytes = 64 * 1024;

// The statuses that say an address no longer serves its file, where another one may.
bool IsExpiredStatus(int status);

struct SameFileProof {
    bool proven = false;
    QByteArray validator;  // what the new address's answer goes by, for continuing (If-Range)
    QString why;           // why it is not the same file (or could not be asked)
};

// Asks `newUrl` (an address as the engine fetches it) for the part's last kProofBytes and
// compares. `stop`, when given, ends the request promptly once set.
SameFileProof ProveSameFile(const PartialRecord& kept, const QString& newUrl, const TransferLimits& limits,
                            const RequestOptions* requests, const std::atomic<bool>* stop = nullptr);

// The kept part of `oldUrl` into `folder` goes on under `newUrl` with `validator`: its record is
// written under the new address before the old one is forgotten. False (nothing changed) when
// there is no such record or it cannot be written.
bool MoveKeptPart(PartialStore& store, const QString& folder, const QString& oldUrl, const QString& newUrl,
                  const QByteArray& validator);

// A new address the user gives an entry: whether the bytes kept for its old one (in `folder`)
// may be continued under it. `kept` is what is kept (0: nothing, and nothing to prove).
struct AddressCheck {
    qint64 kept = 0;
    SameFileProof proof;
};
// Blocking: one range request when something is kept. The texts are entries as the list holds them.
AddressCheck CheckNewAddress(const QString& folder, const QString& oldText, const QString& newText,
                             const RequestOptions* requests, const std::atomic<bool>* stop = nullptr);
// The entry goes by `newText`: its kept part follows it when `check` proved the same file, else
// it is dropped (file and record). False when a proven part could not be moved (nothing changed).
bool ApplyNewAddress(const QString& folder, const QString& oldText, const QString& newText, const AddressCheck& check);

}  // namespace Download

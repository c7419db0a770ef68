#pragma once
// The digest check of an item in the engine: attached when it begins, judged on the publisher's
// worker before the file gets its name. Not for use outside the engine.
#include <optional>

#include "download/Checksum.h"
#include "download/EngineItem.h"
#include "download/RunSummary.h"
#include "download/TargetNaming.h"

namespace Download::Checksum {

class Book;

// Gives the item the digest its list line gave, else the one a checksum file of the run gives
// its address; its transfer then feeds the digest as it writes. Such an item is fetched on one
// connection, in order (never split), so that no byte has to be read back.
void AttachCheck(EngineItem& item, const std::optional<Digest>& own, const Book* book);

// Judges a complete file of `length` bytes before it is named. A match notes the digest in
// `outcome.verified`; a mismatch renames the job to "<name>.checksum-failed" (its earlier name
// given back to `memo`), marks the outcome and says why with both digests. Bytes the transfer did
// not see in order (a kept part whose pieces came over several connections) are read once here.
void Judge(FinishJob& job, qint64 length, Main::NameMemo& memo, ItemOutcome& outcome);

// The suffix a file that failed its check is kept under.
inline constexpr const char* kFailedSuffix = ".checksum-failed";

}  // namespace Download::Checksum

#pragma once
// An expired link mended from its page: the page is read again (as "Get All Links Within URL"
// reads it, at most 64 MB) and a link to the same file name, or the same path with another
// query, is taken when its answer proves to be the very file the item's kept part was cut from
// (download/SameFile.h). Then the kept part's record goes by the new address. Blocking, for work
// off the window's thread.
#include <atomic>

#include "download/DownloadEngine.h"
#include "download/Mending.h"

namespace PageMend {

// At most this many links of the page are asked whether they serve the same file.
inline constexpr int kMostCandidates = 8;

// `engine` reads the page (a run of one item of its own); `stop` ends the work at its next look.
Download::MendAnswer Mend(const Download::MendAsk& ask, Download::Engine& engine, const std::atomic<bool>& stop);

}  // namespace PageMend

#pragma once
// What a run asks when an item that came from a page fails at an address that no longer serves
// its file (download/SameFile.h): its page is read again for the same file under a new address.
// The run says what it asks; whoever can read pages (listbuild/PageMend.h) answers, off the
// window's thread, and hands the answer back on the run's thread.
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace Download {

struct RequestOptions;

struct MendAsk {
    std::uint32_t entry = 0;
    QString url;      // the item's address as it was fetched (its kept part's record goes by it)
    QString page;     // the page it was found on
    QString folder;   // the run's folder, where its part is kept
    QString failure;  // what its address answered ("HTTP 403")
    std::shared_ptr<const RequestOptions> requests;
};

struct MendAnswer {
    QString newText;  // the entry it goes on as, its kept part moved there; empty when not mended
    QString reason;   // why not ("HTTP 403; its page no longer lists the same file")
};

// Answers `ask` some time later by calling `done` on the run's thread, once (or never, when the
// run's thread is going away).
using Mender = std::function<void(MendAsk ask, std::function<void(MendAnswer)> done)>;

}  // namespace Download

#pragma once
// Pruning the list by a text: case-insensitive plain substring, the text used as typed.
#include <QString>

#include <functional>
#include <string_view>

#include "urllist/UrlList.h"

namespace Main {

// A test "does this entry's UTF-8 text contain the needle, ignoring case".
class ContainsIgnoringCase {
public:
    explicit ContainsIgnoringCase(const QString& needle);
    bool operator()(std::string_view utf8) const;
private:
    QString needle_;
    std::string lowerAscii_;  // the needle lower-cased, when it is ASCII
    bool ascii_ = false;
};

// `keepGoing` is called every few thousand entries (about every 10 ms) to let the window
// breathe; when it returns false the run stops and nothing is removed. Entries appended while
// the run breathes are kept. Both return how many entries were removed.
qsizetype RemoveEntriesContaining(UrlList& list, const QString& text,
                                  const std::function<bool()>& keepGoing = {});
qsizetype RemoveEntriesNotContaining(UrlList& list, const QString& text,
                                     const std::function<bool()>& keepGoing = {});

}  // namespace Main

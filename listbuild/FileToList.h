#pragma once
// URL list files: plain text, one address a line.
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <atomic>
#include <functional>
#include <string_view>

#include "urllist/UrlList.h"
#include "support/Background.h"
#include "support/Result.h"
#include "listbuild/UserAddress.h"

namespace FileToList {

// A larger list file is refused before any of it is read.
inline constexpr qint64 kListFileLimitBytes = 256LL << 20;

// A list file's bytes as UTF-8 text. FE FF first means UTF-16 big-endian, FF FE UTF-16
// little-endian; other files are UTF-8 where valid, else one character per byte (Latin-1). A
// byte-order mark is dropped.
QByteArray DecodeListBytes(QByteArray bytes);

// Reads one list file and decodes it. Only a regular file of at most kListFileLimitBytes is
// read ("Not a regular file", "List file larger than 256 MB", "File not found", …), so a pipe,
// a device or a folder never blocks or floods the reader. Blocking: call it off the window
// thread. `stop`, when given, is looked at between reads (kind Cancelled once set).
Fw::Result<QByteArray> ReadListFile(const QString& path, const std::atomic<bool>* stop = nullptr);

// The whole file as text; the empty text when it does not exist or is empty.
Fw::Result<QString> ReadWholeFile(const QString& path);

// Every entry a list text (UTF-8) gives, in order: lines end at CR, LF or CRLF; blank lines and
// lines whose first non-blank character is '#' are skipped, the rest read by
// WebUrl::FromUserText; a line that gives no web address is noted in `notAdded` when given. `entry` is only valid during the call.
void ForEachListEntry(std::string_view text, const std::function<void(std::string_view entry)>& entry,
                      Main::NotAdded* notAdded = nullptr);

// Appends the entries of a list text in batches, each shown before `keepGoing` is asked;
// kind Cancelled when it said stop.
Fw::Result<void> AppendListEntries(UrlList& list, std::string_view text, const std::function<bool()>& keepGoing,
                                   Main::NotAdded* notAdded = nullptr);

// Appends the entries of one list file: read and decoded on `worker`, added in batches.
Fw::Result<void> LoadUrlsFromFile(UrlList& list, const QString& path, Background::Worker& worker,
                                  const std::function<bool()>& keepGoing, const std::atomic<bool>* stop = nullptr,
                                  Main::NotAdded* notAdded = nullptr);

}  // namespace FileToList

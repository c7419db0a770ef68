#pragma once
// URL list files: plain text, one address a line.
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <atomic>
#include <functional>
#include <string_view>

#include "urllist/UrlList.h"
#include "support/Result.h"
#include "listbuild/EntryBatch.h"
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

// Reads one list file and hands its entries to `sink` in batches, in file order. Blocking: for a
// job off the window thread. Kind Cancelled once `stop` is set (looked at between slices).
Fw::Result<void> ReadListEntries(const QString& path, const EntrySink& sink, const std::atomic<bool>& stop,
                                 Main::NotAdded* notAdded = nullptr);

}  // namespace FileToList

#pragma once
// URL list files: plain text, one address a line.
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <functional>
#include <string_view>

#include "urllist/UrlList.h"
#include "support/Dialogs.h"

namespace FileToList {

// A list file's bytes as UTF-8 text. A first byte 0xFF or 0xFE means UTF-16 little-endian;
// other files are UTF-8 where valid, else one character per byte (Latin-1). A byte-order mark
// is dropped.
QByteArray DecodeListBytes(QByteArray bytes);

// The whole file as text; the empty text when it does not exist or is empty.
QString ReadWholeFile(const QString& path);

// Every entry a list text (UTF-8) gives, in order: CR removed everywhere, lines split at LF,
// lines of nothing but spaces skipped, the rest completed by EnsureHttpPrefix, untrimmed.
// `entry` is only valid during the call.
void ForEachListEntry(std::string_view text, const std::function<void(std::string_view entry)>& entry);

// Appends the entries of one list file; "File not found" when the path does not exist.
void LoadUrlsFromFile(UrlList& list, const QString& path, Dialogs::DialogService& dialogs);

}  // namespace FileToList

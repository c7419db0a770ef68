#pragma once
// The text of a run's record (download/UnfinishedWork.h), not for use outside download/.
//
// A record is a journal of lines, so that a run under way only appends what changed:
//   Fetchwright unfinished run 2
//   folder <text>
//   a <text>      an entry not stored yet, numbered from 0 in the order of these lines
//   p <text>      the page the entry just before was found on (its Referer)
//   s <number>    the entry of that number is stored
//   t <ms>        saved at that time (each write ends with one)
// A rewrite keeps only the entries not stored. A last line cut off by a crash is left out. The
// first form ("Fetchwright unfinished run 1": a count, then one entry a line) is still read.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

#include "download/UnfinishedWork.h"

namespace Download::RunRecordFormat {

// The head of a record and one `t` line: what a rewrite starts with and ends with.
QByteArray head(const QString& folder);
QByteArray savedLine(qint64 savedAt);
// An entry's lines (`a`, and `p` when it has a page).
QByteArray entryLines(const QString& entry, const QString& page);
QByteArray storedLine(int number);

// The whole record of `run` (pages as long as entries, or empty).
QByteArray whole(const UnfinishedRun& run, qint64 savedAt);

// The entries not stored, and when it was saved last; nothing for a text of neither form.
std::optional<std::pair<UnfinishedRun, qint64>> parse(const QByteArray& data);

}  // namespace Download::RunRecordFormat

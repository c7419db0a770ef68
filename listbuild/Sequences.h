#pragma once
// Numbered sequences typed into "Add One URL": an address with ranges in its path or query gives
// one entry per combination, the last range varying fastest. The host, port, user name and
// fragment stay as typed.
//   [001-120]  numbers, zero-padded to the width of the first bound
//   [1-99:2]   numbers with a step
//   [a-z]      letters (one case), a step allowed too
//   {a,b,c}    a list of texts
// Brackets in the host stay an IPv6 address. "\[", "\]", "\{", "\}" are literal, and so is "\,"
// inside a list. A bracket pair that holds no range ("?f[type]=x", "[]") stays as it is; an
// unclosed "[" or "{" is a fault.
#include <QString>
#include <QStringList>
#include <QStringView>

#include "support/Result.h"

namespace Main {

struct NotAdded;

inline constexpr qsizetype kMostFromOneAddress = 100000;

// The texts one typed address gives, in order; a malformed range, or more than `most` texts, is
// refused with a reason that names the place ("Range [5-1] runs backwards (at character 12)").
Fw::Result<QStringList> ExpandSequences(QStringView address, qsizetype most = kMostFromOneAddress);

// AddressesFromLines with sequences expanded: each non-blank line is expanded, then every text
// read as an address. A line whose ranges are refused adds nothing; its reason goes to `faults`.
// All lines together give at most kMostFromOneAddress texts: a line that would pass it is refused.
QStringList AddressesFromTypedLines(QStringView text, NotAdded& notAdded, QStringList& faults);

}  // namespace Main

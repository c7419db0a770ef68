#pragma once
// The digests that list lines gave their addresses ("URL  sha256:<hex>" in a list file, pasted
// text or Add One URL), kept by address for the runs to come: an entry moved, removed and put back,
// or added again keeps its digest, and a later line's digest for the same address replaces it.
// Any thread.
#include <QString>
#include <QStringView>

#include <optional>
#include <string_view>

#include "download/Checksum.h"

namespace ListDigests {

void Note(const QString& address, const Download::Checksum::Digest& digest);
// `entryText` as the list holds it (the address as WebUrl writes it).
std::optional<Download::Checksum::Digest> Find(const QString& entryText);
// Whether any digest was noted: a list without any need not look its entries up.
bool Any();
// Every digest noted so far is forgotten (a test's own start).
void Forget();

// A list line's text (UTF-8) split into its address and the digest after it. `address` is the
// line itself when it has none; false, with the reason, when its last word is a malformed digest.
bool SplitLine(std::string_view line, std::string_view& address, std::optional<Download::Checksum::Digest>& digest,
               QString* reason = nullptr);

}  // namespace ListDigests

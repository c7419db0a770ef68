#pragma once
// The file name an answer is stored under, chosen from what its headers and its address say.
// Pure text work: no file is touched, so the engine can call it the moment the headers arrive
// and the numbering of taken names (TargetNaming.h) still comes after.
#include <QByteArray>
#include <QString>

#include <optional>

namespace Download {

// What an answer said about itself, as far as naming cares.
struct AnswerFacts {
    QString finalUrl;               // the address after redirects, as libcurl reports it
    QByteArray contentDisposition;  // raw header value; empty when the answer had none
    QByteArray contentType;         // raw header value; empty when none
    // Address(finalUrl).lastSegment(), when the transfer already read it (no redirect): each file
    // is then named without its address being parsed a second time.
    std::optional<QString> lastSegment;
};

// The file name a Content-Disposition value carries: filename* (UTF-8 or ISO-8859-1) before
// filename, whatever the disposition type. Tolerates what servers really send: a value without
// quotes, raw UTF-8 or Latin-1 bytes, %XX escapes or RFC 2047 words ("=?UTF-8?B?...?=") in
// filename, a trailing ';', a missing type, an unclosed quote. Not made safe yet; empty when the
// value names no file.
QString ContentDispositionFileName(const QByteArray& value);

// The last path segment of an address ("\" splits like "/"), without query and fragment,
// percent-decoded as UTF-8; an escape sequence that is not valid UTF-8 stays as written. A
// decoded "/" or "\" becomes "_": it is part of the name, never a folder.
QString AddressFileName(const QString& url);
// The same of a last segment already taken from its address.
QString SegmentFileName(const QString& segment);

// A name made safe whatever its source: only its last component (after any '/' or '\'), no
// control characters (nor bidirectional overrides, which make a name read as another), no
// leading dot or blank, no trailing blank, never "", "." or "..", at most `maxBytes` bytes of
// UTF-8 (cut inside the stem on a character boundary, the extension kept whole; a compound one
// such as ".tar.gz" counts as one). "" when nothing is left. SafeFileName of its own result
// gives that result again.
QString SafeFileName(const QString& name, int maxBytes = 255);

// The whole choice, never empty and always safe: the server's name first when useServerName
// (it keeps its own extension), else the address's decoded segment. A name without extension,
// or an address name with a server-script one (.php .asp .aspx .jsp .cgi .pl), gets the usual
// extension of a specific Content-Type ("download.php" + application/pdf -> "download.pdf").
// An empty name is "index.html" for an HTML answer, else the address's host with the type's
// extension ("download" when there is no host either).
QString ChooseFileName(const AnswerFacts& facts, bool useServerName = true, int maxBytes = 255);

}  // namespace Download

#include "listbuild/FindAddresses.h"
#include "listbuild/ListDigests.h"

namespace Main {

namespace {

// Characters that never belong to an address found in running text.
bool EndsAddress(QChar c) {
    if (c.isSpace() || c.unicode() < 0x20 || c.unicode() == 0x7F) return true;
    switch (c.unicode()) {
    case '<': case '>': case '"': case '\'': case '`': case '{': case '}': case '|': case '\\': case '^':
    case 0x00AB: case 0x00BB: case 0x2018: case 0x2019: case 0x201C: case 0x201D: case 0x2039: case 0x203A:
        return true;
    default:
        return false;
    }
}

// Ends a sentence or a clause rather than an address.
bool IsTrailingPunctuation(QChar c) {
    switch (c.unicode()) {
    case '.': case ',': case ';': case ':': case '!': case '?': case '*': case 0x2026:
        return true;
    default:
        return false;
    }
}

// Length of "http://" or "https://" at `at`, 0 when no scheme starts there.
qsizetype SchemeAt(QStringView line, qsizetype at) {
    if (at > 0 && line[at - 1].isLetterOrNumber()) return 0;
    const QStringView rest = line.mid(at);
    if (rest.startsWith(u"http://", Qt::CaseInsensitive)) return 7;
    if (rest.startsWith(u"https://", Qt::CaseInsensitive)) return 8;
    return 0;
}

// The length of the address whose scheme (of `schemeLength`) starts at `start`; 0 when no host
// follows the scheme.
qsizetype AddressLength(QStringView line, qsizetype start, qsizetype schemeLength) {
    const qsizetype hostStart = start + schemeLength;
    int parens = 0, brackets = 0;
    qsizetype end = hostStart;
    for (; end < line.size(); ++end) {
        const QChar c = line[end];
        if (EndsAddress(c)) break;
        if (c == u'(') ++parens;
        else if (c == u'[') ++brackets;
        else if (c == u')' && parens-- == 0) break;
        else if (c == u']' && brackets-- == 0) break;
    }
    while (end > hostStart && IsTrailingPunctuation(line[end - 1])) --end;
    if (end == hostStart) return 0;
    const QChar first = line[hostStart];
    if (!first.isLetterOrNumber() && first != u'[') return 0;
    return end - start;
}

bool IsHostName(QStringView host) {
    if (host.isEmpty() || host.front() == u'.' || host.back() == u'.' || !host.contains(u'.') ||
        host.contains(u".."))
        return false;
    for (QChar c : host)
        if (!c.isLetterOrNumber() && c != u'-' && c != u'.') return false;
    return true;
}

// The address a line without a scheme is, or the empty text.
QString BareAddress(QStringView line) {
    for (QChar c : line)
        if (c.isSpace()) return {};
    while (!line.isEmpty() && QStringView(u"<([{\"'").contains(line.front())) line = line.mid(1);
    while (!line.isEmpty()) {
        const QChar c = line.back();
        const bool strayClose = (c == u')' && line.count(u'(') < line.count(u')')) ||
                                (c == u']' && line.count(u'[') < line.count(u']')) ||
                                (c == u'}' && line.count(u'{') < line.count(u'}'));
        if (!IsTrailingPunctuation(c) && !strayClose && c != u'>' && c != u'"' && c != u'\'') break;
        line.chop(1);
    }
    for (QChar c : line)
        if (EndsAddress(c)) return {};
    const qsizetype slash = line.indexOf(u'/');
    if (slash <= 0) return {};
    QStringView host = line.left(slash);
    const qsizetype colon = host.indexOf(u':');
    if (colon >= 0) {
        const QStringView port = host.mid(colon + 1);
        if (port.isEmpty()) return {};
        for (QChar c : port)
            if (!c.isDigit()) return {};
        host = host.left(colon);
    }
    if (!IsHostName(host)) return {};
    return QLatin1String("http://") + line.toString();
}

// "URL  sha256:<hex>": the digest a pasted address carries in the word after it.
void NoteDigestAfter(const QString& address, QStringView rest) {
    const QStringView after = rest.trimmed();
    if (after.size() == rest.size() || after.isEmpty()) return;  // a digest stands apart from its address
    const qsizetype blank = after.indexOf(u' ');
    const QStringView word = blank < 0 ? after : after.left(blank);
    if (std::optional<Download::Checksum::Digest> digest = Download::Checksum::ParseDigest(word)) ListDigests::Note(address, *digest);
}

void FindInLine(QStringView line, const std::function<void(const QString&)>& found) {
    bool any = false;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = line.indexOf(u"http", from, Qt::CaseInsensitive);
        if (at < 0) break;
        const qsizetype scheme = SchemeAt(line, at);
        const qsizetype length = scheme ? AddressLength(line, at, scheme) : 0;
        if (length > 0) {
            const QString address = line.mid(at, length).toString();
            NoteDigestAfter(address, line.mid(at + length));
            found(address);
            any = true;
            from = at + length;
        } else {
            from = at + 4;
        }
    }
    if (any) return;
    const QString bare = BareAddress(line.trimmed());
    if (!bare.isEmpty()) found(bare);
}

}  // namespace

void FindWebAddresses(QStringView text, const std::function<void(const QString&)>& found) {
    // Lines may end in LF, CR LF or CR alone.
    for (QStringView line : text.tokenize(u'\n'))
        for (QStringView part : line.tokenize(u'\r')) FindInLine(part, found);
}

QStringList FindWebAddresses(QStringView text) {
    QStringList all;
    FindWebAddresses(text, [&all](const QString& address) { all << address; });
    return all;
}

}  // namespace Main

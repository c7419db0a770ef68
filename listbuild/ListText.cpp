// The text rules of URL list files, apart from any file or list so that the fuzz target can
// link them alone.
#include <QStringDecoder>

#include <string>

#include "listbuild/FileToList.h"
#include "listbuild/LinkScan.h"
#include "listbuild/ListDigests.h"
#include "support/WebUrl.h"

namespace FileToList {

namespace {
std::string_view View(const QByteArray& bytes) {
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}
}  // namespace

QByteArray DecodeListBytes(QByteArray bytes) {
    if (bytes.isEmpty()) return bytes;
    // Only the whole mark means UTF-16: a Latin-1 list may well begin with 0xFE or 0xFF.
    const bool bigEndian = bytes.startsWith("\xFE\xFF");
    if (bigEndian || bytes.startsWith("\xFF\xFE")) {
        QStringDecoder utf16(bigEndian ? QStringDecoder::Utf16BE : QStringDecoder::Utf16LE,
                             QStringDecoder::Flag::Stateless);
        QString text = utf16.decode(bytes);
        bytes = QByteArray();  // a big file is not held three times over
        if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        return text.toUtf8();
    }
    if (bytes.startsWith("\xEF\xBB\xBF")) bytes.remove(0, 3);
    if (ExtractLinks::IsValidUtf8(View(bytes))) return bytes;
    const std::string utf8 = ExtractLinks::ToUtf8(View(bytes));
    return QByteArray(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

void ForEachListEntry(std::string_view text, const std::function<void(std::string_view entry)>& entry,
                      Main::NotAdded* notAdded) {
    WebUrl::Url address;
    std::size_t start = 0;
    while (start < text.size()) {
        // CR, LF and CRLF all end a line; the empty line between CR and LF is skipped as blank.
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find_first_not_of(" \t\f\v");
        // Blank lines and comment lines, as other tools' input files have them, are passed over quietly.
        if (first == std::string_view::npos || line[first] == '#') continue;
        std::string_view typed;
        std::optional<Download::Checksum::Digest> digest;
        QString fault;
        if (ListDigests::SplitLine(line, typed, digest, &fault) && WebUrl::FromUserText(typed, address)) {
            if (digest) ListDigests::Note(QString::fromStdString(address.href), *digest);
            entry(address.href);
        } else if (notAdded) {
            notAdded->note(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
            if (notAdded->digestFault.isEmpty()) notAdded->digestFault = fault;
        }
    }
}

}  // namespace FileToList

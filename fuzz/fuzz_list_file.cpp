// Fuzz target: the list-file reader. Any bytes must decode to valid UTF-8, and the entries
// must be exactly what the plain line rules give on the decoded text.
#include <QRegularExpression>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "listbuild/FileToList.h"
#include "listbuild/LinkScan.h"
#include "support/WebUrl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 16) return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray text = FileToList::DecodeListBytes(bytes);
    const std::string_view view(text.constData(), static_cast<std::size_t>(text.size()));
    if (!ExtractLinks::IsValidUtf8(view)) std::abort();

    std::vector<std::string> entries;
    Main::NotAdded notAdded;
    FileToList::ForEachListEntry(view, [&](std::string_view e) { entries.emplace_back(e); }, &notAdded);

    // The same rules written the slow, obvious way.
    // Keeps a second mark as a character, as the reader does.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    // CR, LF and CRLF each end a line; a line whose first non-blank character is # is a comment.
    QString plain = utf8.decode(text);
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    plain.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    std::vector<std::string> expected;
    for (const QString& line : plain.split(QLatin1Char('\n'))) {
        if (line.trimmed().isEmpty()) continue;
        qsizetype first = 0;
        while (first < line.size() && QStringLiteral(" \t\f\v").contains(line[first])) ++first;
        if (first < line.size() && line[first] == QLatin1Char('#')) continue;
        // A last word, after other text, that begins with a digest's prefix (its letters in
        // either case) is a digest, and the line is taken only when the digest is well formed.
        QString typed = line;
        static const QRegularExpression words(QStringLiteral("^(.*?)[ \\t]+([^ \\t]+)[ \\t]*$"));
        static const QRegularExpression prefix(QStringLiteral("^([sS][hH][aA](256|512)|[mM][dD]5):"));
        static const QRegularExpression digest(
            QStringLiteral("^([sS][hH][aA]256:[0-9a-fA-F]{64}|[sS][hH][aA]512:[0-9a-fA-F]{128}|[mM][dD]5:[0-9a-fA-F]{32})$"));
        const QRegularExpressionMatch split = words.match(line);
        if (split.hasMatch() && !split.captured(1).isEmpty() && prefix.match(split.captured(2)).hasMatch()) {
            if (!digest.match(split.captured(2)).hasMatch()) continue;
            typed = split.captured(1);
        }
        if (const std::optional<QString> address = WebUrl::FromUserText(typed))
            expected.push_back(address->toUtf8().toStdString());
    }
    if (entries != expected) std::abort();
    if (notAdded.firstFew.size() > Main::NotAdded::kShown) std::abort();
    for (const std::string& e : entries)
        if (e.find('\n') != std::string::npos || e.find('\r') != std::string::npos) std::abort();
    return 0;
}

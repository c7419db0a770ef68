#include "listbuild/FileToList.h"

#include <QFile>
#include <QStringDecoder>

#include "listbuild/LinkScan.h"
#include "support/PathHelpers.h"

namespace FileToList {

QString DecodeListBytes(QByteArrayView bytes) {
    if (bytes.isEmpty()) return {};
    const auto first = static_cast<unsigned char>(bytes[0]);
    if (first == 0xFF || first == 0xFE) {
        QStringDecoder utf16(QStringDecoder::Utf16LE, QStringDecoder::Flag::Stateless);
        QString text = utf16.decode(bytes);
        if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        return text;
    }
    if (bytes.startsWith("\xEF\xBB\xBF")) bytes = bytes.sliced(3);
    if (ExtractLinks::IsValidUtf8(std::string_view(bytes.data(), static_cast<std::size_t>(bytes.size()))))
        return QString::fromUtf8(bytes);
    return QString::fromLatin1(bytes);
}

QString ReadWholeFile(const QString& path) {
    if (!Main::FileOrFolderExists(path)) return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(("Cannot read " + path).toStdString());
    const QByteArray bytes = file.readAll();
    file.close();
    return DecodeListBytes(bytes);
}

namespace {
bool HasSchemeMarker(QStringView line) {
    return line.contains(QLatin1String("http://")) || line.contains(QLatin1String("https://"));
}
bool IsBlank(QStringView line) {
    for (QChar c : line)
        if (c != QLatin1Char(' ')) return false;
    return true;
}
}  // namespace

void ForEachListEntry(QStringView text, const std::function<void(QStringView entry)>& entry) {
    QString scratch;
    QString completed;
    const QLatin1String prefix("http://");
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0) end = text.size();
        QStringView line = text.sliced(start, end - start);
        if (line.contains(QLatin1Char('\r'))) {
            scratch.clear();
            for (QChar c : line)
                if (c != QLatin1Char('\r')) scratch.append(c);
            line = scratch;
        }
        if (!IsBlank(line)) {
            if (HasSchemeMarker(line)) {
                entry(line);
            } else {
                completed.resize(0);
                completed.append(prefix).append(line);
                entry(completed);
            }
        }
        start = end + 1;
    }
}

void LoadUrlsFromFile(UrlList& list, const QString& path, Dialogs::DialogService& dialogs) {
    if (!Main::FileOrFolderExists(path)) {
        dialogs.msgBox(QStringLiteral("File not found"));
        return;
    }
    const QString text = ReadWholeFile(path);
    UrlList::Batch batch(list);
    ForEachListEntry(text, [&](QStringView entry) { batch.add(entry); });
}

}  // namespace FileToList

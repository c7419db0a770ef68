#include "listbuild/FileToList.h"

#include <QFile>

#include <string>

#include "support/PathHelpers.h"

namespace FileToList {

namespace {
std::string_view View(const QByteArray& bytes) {
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error(("Cannot read " + path).toStdString());
    QByteArray bytes = file.readAll();
    file.close();
    return bytes;
}
}  // namespace

QString ReadWholeFile(const QString& path) {
    if (!Main::FileOrFolderExists(path)) return {};
    return QString::fromUtf8(DecodeListBytes(ReadBytes(path)));
}

void LoadUrlsFromFile(UrlList& list, const QString& path, Dialogs::DialogService& dialogs) {
    if (!Main::FileOrFolderExists(path)) {
        dialogs.msgBox(QStringLiteral("File not found"));
        return;
    }
    const QByteArray text = DecodeListBytes(ReadBytes(path));
    UrlList::Batch batch(list);
    ForEachListEntry(View(text), [&](std::string_view entry) { batch.addUtf8(entry); });
}

}  // namespace FileToList

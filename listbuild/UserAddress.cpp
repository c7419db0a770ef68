#include "listbuild/UserAddress.h"

#include "support/WebUrl.h"

namespace Main {

void NotAdded::note(QStringView text) {
    ++count;
    if (firstFew.size() >= kShown) return;
    // A line of megabytes (binary data, a file without line ends) would make a box no one can read.
    constexpr qsizetype kShownChars = 200;
    const QStringView line = text.trimmed();
    firstFew << (line.size() <= kShownChars ? line.toString() : line.first(kShownChars).toString() + QChar(0x2026));
}

QString NotAdded::message() const {
    if (count == 0) return {};
    QString text = count == 1 ? QStringLiteral("1 line was not added: not a web address")
                              : QStringLiteral("%1 lines were not added: not web addresses").arg(count);
    for (const QString& line : firstFew) text += QLatin1Char('\n') + line;
    if (count > firstFew.size()) text += QStringLiteral("\n…");
    if (!digestFault.isEmpty()) text += QStringLiteral("\nThe digest after an address is malformed (%1).").arg(digestFault);
    return text;
}

QStringList AddressesFromLines(QStringView text, NotAdded& notAdded) {
    QStringList added;
    for (QStringView line : text.tokenize(u'\n'))
        for (QStringView part : line.tokenize(u'\r')) {
            if (part.trimmed().isEmpty()) continue;
            if (std::optional<QString> address = WebUrl::FromUserText(part)) added << *address;
            else notAdded.note(part);
        }
    return added;
}

}  // namespace Main

#include "listbuild/UserAddress.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>

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
    const int lines = static_cast<int>(std::min<qsizetype>(count, std::numeric_limits<int>::max()));
    QString text = QCoreApplication::translate("UserAddress", "%n line(s) were not added: not web addresses", nullptr, lines);
    for (const QString& line : firstFew) text += QLatin1Char('\n') + line;
    if (count > firstFew.size()) text += QStringLiteral("\n…");
    if (!digestFault.isEmpty()) text += QCoreApplication::translate("UserAddress", "\nThe digest after an address is malformed (%1).").arg(digestFault);
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

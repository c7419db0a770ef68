#include "download/Address.h"

#include "support/TextElide.h"
#include "support/WebUrl.h"

namespace Download {

namespace {
bool isControl(QChar c) { return c.category() == QChar::Other_Control; }
}  // namespace

QString FetchAddress(const QString& listText) {
    const QString text = listText.trimmed();
    QString address;
    address.reserve(text.size());
    for (QChar c : text) {
        if (c == QLatin1Char(' ')) {
            address += QLatin1String("%20");
        } else if (isControl(c)) {
            for (const char byte : QString(c).toUtf8())
                address += QLatin1Char('%') + QString::number(static_cast<unsigned char>(byte), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        } else {
            address += c;
        }
    }
    return address;
}

bool IsWebAddress(const QString& address) {
    // Written out in full ("http:/x" is a valid link of a page, but no address a list holds),
    // and valid by the one parser of addresses.
    return (address.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
            address.startsWith(QLatin1String("https://"), Qt::CaseInsensitive)) &&
           WebUrl::IsWebUrl(address);
}

QString DisplayAddress(QStringView url) {
    // The text a shortened address can show: each part's first and last kShownChars characters.
    auto shown = [](QStringView part) {
        return part.size() > 2 * kShownChars ? part.left(kShownChars).toString().append(part.right(kShownChars))
                                             : part.toString();
    };
    const qsizetype schemeEnd = url.left(64).indexOf(QLatin1String("://"));
    const qsizetype authorityStart = schemeEnd < 0 ? 0 : schemeEnd + 3;
    qsizetype authorityEnd = authorityStart;
    while (authorityEnd < url.size() && url[authorityEnd] != QLatin1Char('/') && url[authorityEnd] != QLatin1Char('?') &&
           url[authorityEnd] != QLatin1Char('#'))
        ++authorityEnd;
    const QStringView authority = url.mid(authorityStart, authorityEnd - authorityStart);
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    const qsizetype colon = at < 0 ? -1 : authority.left(at).indexOf(QLatin1Char(':'));
    if (colon < 0) return Text::ElideMiddle(shown(url), kShownChars);
    return Text::ElideMiddle(shown(url.left(authorityStart + colon + 1)) + QLatin1String("***") +
                                 shown(url.mid(authorityStart + at)),
                             kShownChars);
}

}  // namespace Download

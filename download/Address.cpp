#include "download/Address.h"

#include <algorithm>
#include <string_view>

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

Address::Address(const QString& text) : fetch_(FetchAddress(text)) {
    const QByteArray bytes = fetch_.toUtf8();
    const std::string_view view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    // Written out in full ("http:/x" is a valid link of a page, but no address a list holds).
    web_ = WebUrl::Parse(view, nullptr, url_) && view.substr(url_.schemeEnd + 1, 2) == "//";
}

QString Address::server() const {
    if (!web_) return {};
    return QString::fromLatin1(std::string_view(url_.href).substr(url_.hostStart, url_.pathStart - url_.hostStart));
}

QString Address::host() const {
    if (!web_) return {};
    std::string_view host = url_.host();
    if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    return QString::fromLatin1(host);
}

QString Address::lastSegment() const {
    if (!web_) {
        const qsizetype slash = std::max(fetch_.lastIndexOf(QLatin1Char('/')), fetch_.lastIndexOf(QLatin1Char('\\')));
        return fetch_.mid(slash + 1);
    }
    const std::size_t end = std::min({url_.queryStart, url_.fragmentStart, url_.href.size()});
    const std::string_view path = std::string_view(url_.href).substr(url_.pathStart, end - url_.pathStart);
    return QString::fromLatin1(path.substr(path.rfind('/') + 1));
}

bool IsWebAddress(const QString& address) { return Address(address).isWeb(); }

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

#include "download/Address.h"

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
    return address.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           address.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

}  // namespace Download

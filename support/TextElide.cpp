#include "support/TextElide.h"

namespace Text {

QString ElideMiddle(QStringView text, qsizetype maxChars) {
    if (text.size() <= maxChars) return text.toString();
    if (maxChars <= 0) return {};
    const qsizetype kept = maxChars - 1;  // the ellipsis takes one
    qsizetype head = kept - kept / 2;
    qsizetype tail = kept / 2;
    if (head > 0 && text[head - 1].isHighSurrogate()) --head;
    if (tail > 0 && text[text.size() - tail].isLowSurrogate()) --tail;
    QString shown;
    shown.reserve(head + 1 + tail);
    shown.append(text.left(head)).append(QChar(0x2026)).append(text.right(tail));
    return shown;
}

}  // namespace Text

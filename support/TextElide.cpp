#include "support/TextElide.h"

namespace Text {

QString ElideMiddle(const QString& text, int maxChars) {
    if (text.size() <= maxChars) return text;
    if (maxChars <= 1) return QString(QChar(0x2026)).left(qMax(0, maxChars));
    qsizetype head = (maxChars - 1) / 2;
    qsizetype tail = maxChars - 1 - head;
    // Never half a surrogate pair on either side of the cut.
    if (head > 0 && text[head - 1].isHighSurrogate()) --head;
    if (tail > 0 && text[text.size() - tail].isLowSurrogate()) --tail;
    return text.left(head) + QChar(0x2026) + text.right(tail);
}

}  // namespace Text

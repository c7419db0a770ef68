#pragma once
// Shortening a text for showing it, however long it is: only its two ends are read.
#include <QString>
#include <QStringView>

namespace Text {

// `text` when it has at most `maxChars` characters; otherwise its start and its end around one
// "…", `maxChars` characters in all, never splitting a character made of two UTF-16 units.
QString ElideMiddle(QStringView text, qsizetype maxChars);

}  // namespace Text

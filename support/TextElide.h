#pragma once
// Shortening a text for display without walking all of it.
#include <QString>

namespace Text {

// The text itself when it has at most maxChars characters; otherwise its first and last
// characters around one "…", maxChars characters in all.
QString ElideMiddle(const QString& text, int maxChars);

}  // namespace Text

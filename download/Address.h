#pragma once
// The one reading of a list entry as an address: what is fetched and what naming reads come
// from the same text, so a file is always named after the address it was fetched from.
#include <QString>
#include <QStringView>

namespace Download {

// The address a list entry stands for: blanks around it dropped, a blank inside sent as "%20"
// and every other control character (a tab, a NUL, a line break inside, DEL, C1 controls) as its
// UTF-8 bytes in "%XX" form. Escapes already in the text stay as they are, so applying it twice
// changes nothing.
QString FetchAddress(const QString& listText);

// Only http:// and https:// addresses (case is ignored in the scheme) that are valid URLs are
// fetched.
bool IsWebAddress(const QString& address);

// An address as the program shows it: a password in it ("user:password@host") as "user:***@",
// and past kShownChars characters its middle cut out (Text::ElideMiddle). Only the parts shown
// are copied, so a huge address costs next to nothing.
inline constexpr qsizetype kShownChars = 300;
QString DisplayAddress(QStringView url);

}  // namespace Download

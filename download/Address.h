#pragma once
// The one reading of a list entry as an address: what is fetched and what naming reads come
// from the same text, so a file is always named after the address it was fetched from.
#include <QString>
#include <QStringView>

#include "support/WebUrl.h"

namespace Download {

// A list entry, or the final address of an answer, read once by the one parser of addresses
// (WebUrl): what is fetched, and the parts that the server's pause, the connection and naming
// go by. Nothing else splits an address's text.
class Address {
public:
    Address() = default;
    explicit Address(const QString& text);

    // FetchAddress() of the text: what is asked for.
    const QString& fetch() const { return fetch_; }
    // An http:// or https:// address written out in full that the parser takes; nothing else is
    // fetched.
    bool isWeb() const { return web_; }
    bool isHttps() const { return web_ && url_.scheme() == "https"; }
    // The host as the parser writes it (lower case, IDNA, an IPv6 address in brackets), and with
    // its port when it has one: the key of a server's pause. Empty when it is no address.
    QString server() const;
    // The host alone, an IPv6 address without its brackets.
    QString host() const;
    // The last segment of the path as written (escapes kept), empty when the path ends in "/";
    // for a text that is no address, its part after the last "/" or "\".
    QString lastSegment() const;

private:
    QString fetch_;
    WebUrl::Url url_;
    bool web_ = false;
};

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

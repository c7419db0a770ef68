#pragma once
// The one reading of a web address in the program: http and https URLs parsed, resolved and
// serialised as the URL Standard does, so that every way in (typed, pasted, list files, links of
// a page) and the downloader agree on what an address is and how it is written.
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace WebUrl {

inline constexpr std::size_t kNone = std::string::npos;

// A valid http or https URL in its serialised form (ASCII only), with where its parts begin.
struct Url {
    std::string href;
    std::size_t schemeEnd = 0;   // the ":" after the scheme
    std::size_t hostStart = 0;   // after "//" and any "user:password@"
    std::size_t hostEnd = 0;     // before any ":port"
    std::size_t pathStart = 0;   // the first "/" of the path
    std::size_t queryStart = kNone;     // the "?", when there is a query
    std::size_t fragmentStart = kNone;  // the "#", when there is a fragment

    std::string_view scheme() const { return std::string_view(href).substr(0, schemeEnd); }
    std::string_view host() const { return std::string_view(href).substr(hostStart, hostEnd - hostStart); }
    std::string_view withoutFragment() const { return std::string_view(href).substr(0, fragmentStart); }
};

// Parses `input` (UTF-8), resolved against `base` when one is given. True only when the result
// is a valid http or https URL; `out` is then its serialisation. Any other scheme, a missing or
// invalid host, an invalid port, and so on give false. The result parses to itself.
bool Parse(std::string_view input, const Url* base, Url& out);
std::optional<Url> Parse(std::string_view input, const Url* base = nullptr);

// An IDNA (UTS #46) domain to its ASCII form, lower-cased; empty when it is not a valid one.
std::string DomainToAscii(std::string_view domain);

// The text a user gave as one address (typed, a line of a list file) read as an address:
// blanks around it dropped; a scheme of http or https in any case parsed as it is; another
// scheme refused; no scheme and no blank inside: "http://" put in front. "host:8080/x" is a host
// with a port, not a scheme. True when the result is a valid http or https URL, in `out`.
bool FromUserText(std::string_view text, Url& out);
std::optional<QString> FromUserText(QStringView text);

// True for a text that is a valid absolute http or https URL.
bool IsWebUrl(QStringView text);

}  // namespace WebUrl

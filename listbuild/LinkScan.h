#pragma once
// The byte-level work of link extraction: finding every href=" in a page, decoding the link's
// character references and bytes, and resolving it against the page's address. Nothing here
// needs Qt, so the fuzz targets and benchmarks link it alone.
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace ExtractLinks {

// Calls sink(link bytes) for every href=" (letters in any case, no blanks, double quote only),
// in page order, duplicates included. A link runs up to the next double quote; a link whose
// quote never comes is not reported. Returns false when sink asked to stop by returning false.
// `progress` is called every few thousand candidate positions and may also stop the scan.
template <class Sink, class Progress>
bool ScanForLinks(std::string_view page, Sink&& sink, Progress&& progress);

// The reference forms &amp; &quot; &lt; &gt; &apos; and their numeric forms (decimal or hex,
// e.g. &#38; &#x26;) become their characters; every other "&" stays as it is.
std::string DecodeCharacterReferences(std::string_view raw);

bool IsValidUtf8(std::string_view bytes);
// Valid UTF-8 is kept; anything else is taken as one character per byte (Latin-1).
std::string ToUtf8(std::string_view bytes);

// An absolute address split into the parts of RFC 3986.
struct UrlParts {
    std::string_view scheme, authority, path, query, fragment;
    bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
};
UrlParts SplitUrl(std::string_view url);

// Resolves one link (UTF-8, character references already decoded) against the page address
// the way a browser does. Returns false, leaving `out` empty, for links that cannot be fetched
// over http or https (mailto:, javascript:, data:, …). An absolute http(s) link is kept as
// written. Blanks and control characters left inside become %XX.
bool ResolveLink(std::string_view base, std::string_view link, std::string& out);

// The whole chain for one raw link: references, bytes, resolution.
bool CompleteLink(std::string_view base, std::string_view raw, std::string& out);

// ---- implementation of the template ----
namespace detail {
inline bool IsHrefBefore(const char* p) {
    // p points at the "="; the four bytes before it must spell href in any case.
    return ((p[-4] | 0x20) == 'h') && ((p[-3] | 0x20) == 'r') && ((p[-2] | 0x20) == 'e') &&
           ((p[-1] | 0x20) == 'f');
}
}  // namespace detail

template <class Sink, class Progress>
bool ScanForLinks(std::string_view page, Sink&& sink, Progress&& progress) {
    const char* const begin = page.data();
    const char* const end = begin + page.size();
    if (page.size() < 6) return true;
    const char* p = begin + 4;  // the "=" of a match stands at least four bytes in
    unsigned sinceProgress = 0;
    while (p < end - 1) {
        const void* eq = std::memchr(p, '=', static_cast<std::size_t>(end - 1 - p));
        if (!eq) break;
        p = static_cast<const char*>(eq);
        if (++sinceProgress == 4096) {
            sinceProgress = 0;
            if (!progress()) return false;
        }
        if (p[1] == '"' && detail::IsHrefBefore(p)) {
            const char* start = p + 2;
            const void* close = std::memchr(start, '"', static_cast<std::size_t>(end - start));
            if (!close) return true;  // unclosed: nothing more can match with a quote after it
            if (!sink(std::string_view(start, static_cast<std::size_t>(static_cast<const char*>(close) - start))))
                return false;
            // Go on right after the opening quote, so that a match overlapping the link's
            // closing quote is still found.
        }
        ++p;
    }
    return true;
}

}  // namespace ExtractLinks

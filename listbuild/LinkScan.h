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
// `progress` is called after every 64 KB of page and may also stop the scan.
template <class Sink, class Progress>
bool ScanForLinks(std::string_view page, Sink&& sink, Progress&& progress);

// The same scan in steps, so that it can be resumed: starts at offset `from` (0, or what an
// earlier call returned) and pauses after the link for which sink returned false, or once the
// offset `until` is reached. Returns the offset to go on from; page.size() when done.
template <class Sink>
std::size_t ScanLinksFrom(std::string_view page, std::size_t from, std::size_t until, Sink&& sink);

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

template <class Sink>
std::size_t ScanLinksFrom(std::string_view page, std::size_t from, std::size_t until, Sink&& sink) {
    if (page.size() < 6) return page.size();
    const char* const begin = page.data();
    const char* const end = begin + page.size();
    // A match's "=" lies before the last byte: a quote must follow it.
    const char* const last = end - 1;
    const char* const pause = until < page.size() ? begin + until : last;
    const char* p = begin + (from < 4 ? 4 : from);  // the "=" of a match stands at least four bytes in
    while (p < last) {
        const char* const limit = pause < last ? pause : last;
        if (p >= limit) return static_cast<std::size_t>(p - begin);
        const void* eq = std::memchr(p, '=', static_cast<std::size_t>(limit - p));
        if (!eq) return limit == last ? page.size() : static_cast<std::size_t>(limit - begin);
        p = static_cast<const char*>(eq);
        if (p[1] == '"' && detail::IsHrefBefore(p)) {
            const char* start = p + 2;
            const void* close = std::memchr(start, '"', static_cast<std::size_t>(end - start));
            if (!close) return page.size();  // unclosed: nothing more can match with a quote after it
            // Going on right after the opening quote finds a match overlapping the closing one.
            if (!sink(std::string_view(start, static_cast<std::size_t>(static_cast<const char*>(close) - start))))
                return static_cast<std::size_t>(p + 1 - begin);
        }
        ++p;
    }
    return page.size();
}

template <class Sink, class Progress>
bool ScanForLinks(std::string_view page, Sink&& sink, Progress&& progress) {
    constexpr std::size_t kStep = 64 * 1024;
    bool stopped = false;
    auto forward = [&](std::string_view link) {
        stopped = !sink(link);
        return !stopped;
    };
    std::size_t at = 0;
    while (at < page.size()) {
        at = ScanLinksFrom(page, at, at + kStep, forward);
        if (stopped) return false;
        if (at < page.size() && !progress()) return false;
    }
    return true;
}

}  // namespace ExtractLinks

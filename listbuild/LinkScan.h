#pragma once
// The byte-level work of link extraction: reading every href of a page's start tags as the
// HTML tokenizer reads attributes, decoding character references as in an attribute value, and
// resolving each link against the page's base address. Nothing here needs a window, so the fuzz
// targets and benchmarks link it alone.
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "support/WebUrl.h"

namespace ExtractLinks {

// The attributes of one start tag that name its images and media, as written (references not
// yet decoded); empty where the tag has none. Only those a browser fetches for that element are
// taken: src of img, source, video and audio; srcset of img and source; poster of video; and the
// data-src and data-srcset that lazy-loading scripts put on any element.
struct MediaAttributes {
    std::string_view src, srcset, poster, dataSrc, dataSrcset;
    bool any() const {
        return !src.empty() || !srcset.empty() || !poster.empty() || !dataSrc.empty() || !dataSrcset.empty();
    }
};

// One href of a start tag, its value as written (references not yet decoded); or, for a scan that
// takes media, a tag's media attributes.
struct Href {
    enum Kind : unsigned char {
        Link,      // any element but the two below
        Base,      // <base href>: sets the page's base address
        Resource,  // <link rel="stylesheet"> or rel="icon": part of the page's look, not a file to fetch
        Media,     // `media` holds the tag's media attributes; `value` is empty
    };
    std::string_view value;
    Kind kind = Link;
    const MediaAttributes* media = nullptr;
};

// Calls sink(const Href&) for the first href attribute of every start tag, in page order,
// duplicates included: double-quoted, single-quoted or unquoted, the name in any case, blanks
// around "=". Comments, end tags, <!…> and <?…> declarations and the text of <script>, <style>,
// <textarea>, <title> and the like are no tags; everything after <plaintext> is text. A tag cut
// off by the page's end is no tag.
//
// Starts at `from` (0, or what an earlier call returned) and pauses after the tag for which sink
// returned false, or at the first tag starting at or past `until`. Returns the offset to go on
// from; page.size() when done. With `media`, a tag that has media attributes is also handed to
// sink as one Href of kind Media, after its href.
using HrefSink = bool (*)(void* context, const Href& href);
std::size_t ScanHrefsFrom(std::string_view page, std::size_t from, std::size_t until, HrefSink sink, void* context,
                          bool media = false);

template <class Sink>
std::size_t ScanLinksFrom(std::string_view page, std::size_t from, std::size_t until, Sink&& sink, bool media = false) {
    using Target = std::remove_reference_t<Sink>;
    return ScanHrefsFrom(page, from, until,
                         [](void* context, const Href& href) -> bool { return (*static_cast<Target*>(context))(href); },
                         const_cast<void*>(static_cast<const void*>(&sink)), media);
}

// The whole page; `progress` is asked after each 64 KB step and may stop the scan, as may sink.
// Returns false when stopped.
template <class Sink, class Progress>
bool ScanForLinks(std::string_view page, Sink&& sink, Progress&& progress) {
    constexpr std::size_t kStep = 64 * 1024;
    bool stopped = false;
    auto forward = [&](const Href& href) {
        stopped = !sink(href);
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

// One image candidate of a srcset, read as a browser reads the attribute (after its references
// are decoded): the address and its descriptor, a width ("800w") or a pixel density ("2x"); one
// without either stands for 1x. Candidates with a descriptor a browser drops ("2x 3x", "0w",
// "-1x", "1.x") are left out.
struct SrcsetCandidate {
    std::string_view url;
    long long width = -1;  // -1 when it has no width
    double density = -1;   // -1 when it has no density
};
// A srcset longer than this keeps its first candidates only; a real page has a handful.
inline constexpr std::size_t kMostSrcsetCandidates = 1000;
// Appends the candidates of `srcset` to `out`, at most `most` of them; returns how many valid
// candidates beyond that were left out. Linear in the attribute's length, whatever it holds.
std::size_t ParseSrcset(std::string_view srcset, std::vector<SrcsetCandidate>& out,
                        std::size_t most = kMostSrcsetCandidates);
// The largest of `candidates` (widths win over densities, as a browser's choice for the widest
// screen would), or nullptr when there is none.
const SrcsetCandidate* LargestCandidate(const std::vector<SrcsetCandidate>& candidates);

// The value of the page's first <base href>, if it has one.
bool FindBaseHref(std::string_view page, std::string_view& value);

// Character references decoded as in an attribute value: every named reference of HTML,
// numeric ones with HTML's replacements (&#128; is the euro sign, &#0; U+FFFD), and a named one
// without ";" followed by "=" or a letter or digit left as written (&copy=2).
std::string DecodeCharacterReferences(std::string_view raw);

bool IsValidUtf8(std::string_view bytes);
// Valid UTF-8 is kept; anything else is taken as one character per byte (Latin-1).
std::string ToUtf8(std::string_view bytes);

// Where a page's links are resolved against, and what counts as the page itself.
struct PageAddress {
    WebUrl::Url page;  // the page's own address (after redirects)
    WebUrl::Url base;  // its <base href> when it has a valid http(s) one, else the page
};
// False when `page` is not an http or https address. `baseHref`, when given, is the raw value of
// the page's first <base href>; one that gives no http or https address is ignored.
bool MakePageAddress(std::string_view page, const std::string_view* baseHref, PageAddress& out);

// The whole chain for one raw href: references, bytes, resolution. False for links that give no
// http or https address, or that only point into the page itself (#top, "").
bool CompleteLink(const PageAddress& where, std::string_view raw, WebUrl::Url& out);

}  // namespace ExtractLinks

// Fuzz target: the tag scan and the completion of each link. Resumed in any steps the scan finds
// what one pass finds; every added entry is an http or https address in ASCII that the address
// parser reads back as itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "listbuild/LinkScan.h"

namespace {
bool IsWebEntry(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
    return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view page(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> links;
    ExtractLinks::ScanForLinks(page, [&](const ExtractLinks::Href& h) { links.push_back(h.value); return true; },
                               [] { return true; });
    std::vector<std::string_view> stepped;
    for (std::size_t at = 0, step = 1 + size % 13; at < page.size();) {
        const std::size_t next = ExtractLinks::ScanLinksFrom(page, at, at + step, [&](const ExtractLinks::Href& h) {
            stepped.push_back(h.value);
            return stepped.size() % 2 == 0;
        });
        if (next <= at) std::abort();
        at = next;
    }
    if (stepped != links) std::abort();

    std::string_view baseHref;
    const bool hasBase = ExtractLinks::FindBaseHref(page, baseHref);
    WebUrl::Url out, again;
    for (const char* pageUrl : {"http://server/dir/page.htm?q=1", "https://h:8080"}) {
        ExtractLinks::PageAddress where;
        if (!ExtractLinks::MakePageAddress(pageUrl, hasBase ? &baseHref : nullptr, where)) std::abort();
        for (std::string_view raw : links) {
            if (!ExtractLinks::CompleteLink(where, raw, out)) continue;
            if (!IsWebEntry(out.href)) std::abort();
            if (!WebUrl::Parse(out.href, nullptr, again) || again.href != out.href) std::abort();
        }
    }
    return 0;
}

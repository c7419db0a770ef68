// Fuzz target: the link scanner and the completion of each link. The scan must agree with a
// byte-by-byte reading of the rule, and every added entry must be valid UTF-8 with a web scheme.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "listbuild/LinkScan.h"

namespace {
// The rule read literally: at each position, six bytes h r e f = " (letters in any case);
// the link runs to the next quote; no quote, no link.
std::vector<std::string_view> SlowScan(std::string_view page) {
    std::vector<std::string_view> links;
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + 32) : c; };
    for (std::size_t i = 0; i + 6 <= page.size(); ++i) {
        if (lower(page[i]) == 'h' && lower(page[i + 1]) == 'r' && lower(page[i + 2]) == 'e' &&
            lower(page[i + 3]) == 'f' && page[i + 4] == '=' && page[i + 5] == '"') {
            const std::size_t close = page.find('"', i + 6);
            if (close == std::string_view::npos) break;
            links.push_back(page.substr(i + 6, close - i - 6));
        }
    }
    return links;
}

bool StartsWithWebScheme(const std::string& s) {
    auto ieq = [&](std::string_view p) {
        if (s.size() < p.size()) return false;
        for (std::size_t i = 0; i < p.size(); ++i)
            if ((s[i] | 0x20) != p[i] && s[i] != p[i]) return false;
        return true;
    };
    return ieq("http:") || ieq("https:");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view page(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> links;
    ExtractLinks::ScanForLinks(page, [&](std::string_view l) { links.push_back(l); return true; }, [] { return true; });
    if (links != SlowScan(page)) std::abort();
    // Resumed in small steps and after every link, the scan finds the same links.
    std::vector<std::string_view> stepped;
    for (std::size_t at = 0, step = 1 + size % 13; at < page.size();) {
        const std::size_t next = ExtractLinks::ScanLinksFrom(page, at, at + step, [&](std::string_view l) {
            stepped.push_back(l);
            return stepped.size() % 2 == 0;
        });
        if (next <= at) std::abort();
        at = next;
    }
    if (stepped != links) std::abort();

    std::string out;
    for (const char* base : {"http://server/dir/page.htm?q=1", "https://h:8080"}) {
        for (std::string_view raw : links) {
            if (ExtractLinks::CompleteLink(base, raw, out)) {
                if (!ExtractLinks::IsValidUtf8(out) || !StartsWithWebScheme(out)) std::abort();
            } else if (!out.empty()) {
                std::abort();
            }
        }
    }
    // Resolution alone, with the input as one link.
    if (size < 4096 && ExtractLinks::CompleteLink("http://a/b/c/d;p?q", page, out))
        if (!ExtractLinks::IsValidUtf8(out)) std::abort();
    return 0;
}

// Fuzz target: the address parser. Whatever the input and base, it never crashes, and what it
// writes is ASCII that reads back as itself, alone and against the base it came from.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/WebUrl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    // The first line is the base, the rest the input.
    const std::size_t cut = all.find('\n');
    const std::string_view baseText = cut == std::string_view::npos ? std::string_view("http://a/b/c?d#e") : all.substr(0, cut);
    const std::string_view input = cut == std::string_view::npos ? all : all.substr(cut + 1);
    WebUrl::Url base, out, again;
    const bool hasBase = WebUrl::Parse(baseText, nullptr, base);
    if (hasBase && (!WebUrl::Parse(base.href, nullptr, again) || again.href != base.href)) std::abort();
    if (!WebUrl::Parse(input, hasBase ? &base : nullptr, out)) return 0;
    for (char c : out.href)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) std::abort();
    if (out.scheme() != "http" && out.scheme() != "https") std::abort();
    if (!WebUrl::Parse(out.href, nullptr, again) || again.href != out.href) std::abort();
    if (hasBase && (!WebUrl::Parse(out.href, &base, again) || again.href != out.href)) std::abort();
    if (out.host().empty()) std::abort();
    return 0;
}

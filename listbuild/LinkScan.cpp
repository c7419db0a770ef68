#include "listbuild/LinkScan.h"

#include <cstdint>

namespace ExtractLinks {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
bool IsAlpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// The one character a reference at `ref` (starting with "&") stands for, and its length;
// 0 when it is not one of the few decoded forms.
char DecodeOne(std::string_view ref, std::size_t& length) {
    struct Named { std::string_view name; char c; };
    static constexpr Named kNamed[] = {{"&amp;", '&'}, {"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}};
    for (const Named& n : kNamed) {
        if (ref.substr(0, n.name.size()) == n.name) {
            length = n.name.size();
            return n.c;
        }
    }
    if (ref.size() < 4 || ref[1] != '#') return 0;
    std::size_t i = 2;
    const bool hex = ref[i] == 'x' || ref[i] == 'X';
    if (hex) ++i;
    const std::size_t digitsStart = i;
    std::uint32_t value = 0;
    while (i < ref.size() && (hex ? IsHex(ref[i]) : IsDigit(ref[i]))) {
        if (value < 0x110000) value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(hex ? HexValue(ref[i]) : ref[i] - '0');
        ++i;
    }
    if (i == digitsStart || i >= ref.size() || ref[i] != ';') return 0;
    switch (value) {
    case '&': case '"': case '<': case '>': case '\'':
        length = i + 1;
        return static_cast<char>(value);
    default:
        return 0;
    }
}

// RFC 3986 section 5.2.4, appending the result to `out`.
void RemoveDotSegments(std::string_view in, std::string& out) {
    const std::size_t outStart = out.size();
    auto popLastSegment = [&] {
        const std::size_t slash = out.rfind('/');
        out.resize(slash == std::string::npos || slash < outStart ? outStart : slash);
    };
    while (!in.empty()) {
        if (in.substr(0, 3) == "../") in.remove_prefix(3);
        else if (in.substr(0, 2) == "./") in.remove_prefix(2);
        else if (in.substr(0, 3) == "/./") in.remove_prefix(2);
        else if (in == "/.") in = "/";
        else if (in.substr(0, 4) == "/../") { in.remove_prefix(3); popLastSegment(); }
        else if (in == "/..") { in = "/"; popLastSegment(); }
        else if (in == "." || in == "..") in = {};
        else {
            const std::size_t next = in.find('/', 1);
            const std::size_t len = next == std::string_view::npos ? in.size() : next;
            out.append(in.substr(0, len));
            in.remove_prefix(len);
        }
    }
}

bool IsFetchableScheme(std::string_view scheme) {
    auto eq = [&](std::string_view want) {
        if (scheme.size() != want.size()) return false;
        for (std::size_t i = 0; i < want.size(); ++i)
            if ((scheme[i] | 0x20) != want[i]) return false;
        return true;
    };
    return eq("http") || eq("https");
}

// A browser drops leading and trailing controls and blanks and every tab or line break inside.
std::string_view TrimmedLink(std::string_view link, std::string& scratch) {
    while (!link.empty() && static_cast<unsigned char>(link.front()) <= 0x20) link.remove_prefix(1);
    while (!link.empty() && static_cast<unsigned char>(link.back()) <= 0x20) link.remove_suffix(1);
    if (link.find_first_of("\t\n\r") == std::string_view::npos) return link;
    scratch.clear();
    for (char c : link)
        if (c != '\t' && c != '\n' && c != '\r') scratch.push_back(c);
    return scratch;
}

// A blank or control character left inside a link becomes %XX, as a browser sends it; libcurl
// refuses an address that holds one raw.
void EscapeBlanksAndControls(std::string& url) {
    auto needsEscape = [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; };
    std::size_t i = 0;
    while (i < url.size() && !needsEscape(url[i])) ++i;
    if (i == url.size()) return;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped(url, 0, i);
    for (; i < url.size(); ++i) {
        const auto c = static_cast<unsigned char>(url[i]);
        if (needsEscape(url[i])) {
            escaped.push_back('%');
            escaped.push_back(kHex[c >> 4]);
            escaped.push_back(kHex[c & 15]);
        } else {
            escaped.push_back(url[i]);
        }
    }
    url.swap(escaped);
}

}  // namespace

std::string DecodeCharacterReferences(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        const std::size_t amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(raw.substr(i));
            break;
        }
        out.append(raw.substr(i, amp - i));
        std::size_t length = 0;
        const char c = DecodeOne(raw.substr(amp), length);
        if (c) {
            out.push_back(c);
            i = amp + length;
        } else {
            out.push_back('&');
            i = amp + 1;
        }
    }
    return out;
}

bool IsValidUtf8(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) { ++i; continue; }
        std::size_t extra;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
        else return false;
        if (n - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string ToUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) out.push_back(ch);
        else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

UrlParts SplitUrl(std::string_view url) {
    UrlParts p;
    // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ) ":"
    if (!url.empty() && IsAlpha(url[0])) {
        std::size_t i = 1;
        while (i < url.size() && (IsAlpha(url[i]) || IsDigit(url[i]) || url[i] == '+' || url[i] == '-' || url[i] == '.')) ++i;
        if (i < url.size() && url[i] == ':') {
            p.scheme = url.substr(0, i);
            p.hasScheme = true;
            url.remove_prefix(i + 1);
        }
    }
    if (url.substr(0, 2) == "//") {
        url.remove_prefix(2);
        const std::size_t end = std::min(url.find_first_of("/?#"), url.size());
        p.authority = url.substr(0, end);
        p.hasAuthority = true;
        url.remove_prefix(end);
    }
    const std::size_t hash = url.find('#');
    if (hash != std::string_view::npos) {
        p.fragment = url.substr(hash + 1);
        p.hasFragment = true;
        url = url.substr(0, hash);
    }
    const std::size_t q = url.find('?');
    if (q != std::string_view::npos) {
        p.query = url.substr(q + 1);
        p.hasQuery = true;
        url = url.substr(0, q);
    }
    p.path = url;
    return p;
}

bool ResolveLink(std::string_view base, std::string_view link, std::string& out) {
    out.clear();
    std::string scratch;
    link = TrimmedLink(link, scratch);
    const UrlParts r = SplitUrl(link);
    if (r.hasScheme) {
        if (!IsFetchableScheme(r.scheme)) return false;
        out.assign(link);
        EscapeBlanksAndControls(out);
        return true;
    }
    const UrlParts b = SplitUrl(base);
    if (!b.hasScheme || !IsFetchableScheme(b.scheme)) return false;

    out.reserve(base.size() + link.size());
    out.append(b.scheme).push_back(':');
    std::string_view query;
    bool hasQuery;
    if (r.hasAuthority) {
        out.append("//").append(r.authority);
        const std::size_t pathStart = out.size();
        RemoveDotSegments(r.path, out);
        if (out.size() == pathStart) out.push_back('/');
        query = r.query;
        hasQuery = r.hasQuery;
    } else {
        if (b.hasAuthority) out.append("//").append(b.authority);
        const std::size_t pathStart = out.size();
        if (r.path.empty()) {
            out.append(b.path);
            query = r.hasQuery ? r.query : b.query;
            hasQuery = r.hasQuery || b.hasQuery;
        } else {
            if (r.path.front() == '/') {
                RemoveDotSegments(r.path, out);
            } else {
                std::string merged;
                if (b.hasAuthority && b.path.empty()) merged = "/";
                else {
                    const std::size_t slash = b.path.rfind('/');
                    if (slash != std::string_view::npos) merged.assign(b.path.substr(0, slash + 1));
                }
                merged.append(r.path);
                RemoveDotSegments(merged, out);
            }
            query = r.query;
            hasQuery = r.hasQuery;
        }
        if (out.size() == pathStart && b.hasAuthority) out.push_back('/');
    }
    if (hasQuery) out.append("?").append(query);
    if (r.hasFragment) out.append("#").append(r.fragment);
    EscapeBlanksAndControls(out);
    return true;
}

bool CompleteLink(std::string_view base, std::string_view raw, std::string& out) {
    if (raw.find('&') == std::string_view::npos && IsValidUtf8(raw)) return ResolveLink(base, raw, out);
    return ResolveLink(base, ToUtf8(DecodeCharacterReferences(raw)), out);
}

}  // namespace ExtractLinks

#include "listbuild/LinkScan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace ExtractLinks {

namespace {

struct NamedRef {
    std::string_view name;  // without the "&"; with its ";" where the table has one
    std::string_view text;  // UTF-8
};
constexpr NamedRef kNamedRefs[] = {
#include "listbuild/CharRefTable.inc"
};
constexpr std::size_t kLongestName = 32;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
bool IsAlpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool IsAlnum(char c) { return IsAlpha(c) || IsDigit(c); }
bool IsSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r' || c == '\f'; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsLower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (Lower(text[i]) != lower[i]) return false;
    return true;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// What a numeric reference stands for: HTML's replacements for the null character, surrogates,
// values past Unicode, and the C1 range that Windows-1252 pages meant as printable characters.
std::uint32_t NumericReferenceValue(std::uint64_t value) {
    static constexpr std::uint16_t kC1[32] = {
        0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0xFFFD;
    if (value >= 0x80 && value <= 0x9F) return kC1[value - 0x80];
    return static_cast<std::uint32_t>(value);
}

const NamedRef* FindNamed(std::string_view name) {
    const auto it = std::lower_bound(std::begin(kNamedRefs), std::end(kNamedRefs), name,
                                     [](const NamedRef& r, std::string_view n) { return r.name < n; });
    return it != std::end(kNamedRefs) && it->name == name ? it : nullptr;
}

// Decodes the reference at raw[at] == '&' into `out`; returns where the text goes on.
std::size_t DecodeReferenceAt(std::string_view raw, std::size_t at, std::string& out) {
    const std::size_t n = raw.size();
    std::size_t i = at + 1;
    if (i < n && raw[i] == '#') {
        ++i;
        const bool hex = i < n && (raw[i] | 0x20) == 'x';
        if (hex) ++i;
        const std::size_t digits = i;
        std::uint64_t value = 0;
        while (i < n && (hex ? IsHex(raw[i]) : IsDigit(raw[i]))) {
            if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<unsigned>(hex ? HexValue(raw[i]) : raw[i] - '0');
            ++i;
        }
        if (i == digits) {  // "&#" or "&#x" without digits stays as written
            out.push_back('&');
            return at + 1;
        }
        if (i < n && raw[i] == ';') ++i;
        AppendUtf8(out, NumericReferenceValue(value));
        return i;
    }
    // The longest name of the table that the text starts with.
    std::size_t run = 0;
    while (i + run < n && run < kLongestName && IsAlnum(raw[i + run])) ++run;
    if (run == 0) {
        out.push_back('&');
        return at + 1;
    }
    std::size_t length = run + (i + run < n && raw[i + run] == ';' ? 1 : 0);
    for (; length > 0; --length) {
        const NamedRef* found = FindNamed(raw.substr(i, length));
        if (!found) continue;
        const std::size_t next = i + length;
        // In an attribute, "&copy=2" and "&notit" are text, not a reference without its ";".
        if (found->name.back() != ';' && next < n && (raw[next] == '=' || IsAlnum(raw[next]))) break;
        out.append(found->text);
        return next;
    }
    out.push_back('&');
    return at + 1;
}

// ---- the tag scan ----

struct TagAttributes {
    std::string_view href, rel;
    bool hasHref = false, hasRel = false;
    // Read only by a scan that takes media.
    MediaAttributes media;
    bool hasSrc = false, hasSrcset = false, hasPoster = false, hasDataSrc = false, hasDataSrcset = false;
};

// The first of a repeated attribute counts.
void Take(std::string_view value, bool& has, std::string_view& to) {
    if (has) return;
    has = true;
    to = value;
}

void NoteMediaAttribute(std::string_view name, std::string_view value, TagAttributes& attrs) {
    switch (name.size()) {
    case 3:
        if (EqualsLower(name, "src")) Take(value, attrs.hasSrc, attrs.media.src);
        break;
    case 6:
        if (EqualsLower(name, "srcset")) Take(value, attrs.hasSrcset, attrs.media.srcset);
        else if (EqualsLower(name, "poster")) Take(value, attrs.hasPoster, attrs.media.poster);
        break;
    case 8:
        if (EqualsLower(name, "data-src")) Take(value, attrs.hasDataSrc, attrs.media.dataSrc);
        break;
    case 11:
        if (EqualsLower(name, "data-srcset")) Take(value, attrs.hasDataSrcset, attrs.media.dataSrcset);
        break;
    default:
        break;
    }
}

// Reads a tag's attributes after its name, up to and including its ">"; nullptr when the page
// ends first (such a tag is dropped).
const char* ReadAttributes(const char* p, const char* end, TagAttributes& attrs, bool media = false) {
    for (;;) {
        while (p < end && (IsSpace(*p) || *p == '/')) ++p;
        if (p >= end) return nullptr;
        if (*p == '>') return p + 1;
        const char* nameStart = p++;  // a first "=" belongs to the name
        while (p < end && !IsSpace(*p) && *p != '/' && *p != '>' && *p != '=') ++p;
        const std::string_view name(nameStart, static_cast<std::size_t>(p - nameStart));
        while (p < end && IsSpace(*p)) ++p;
        if (p >= end) return nullptr;
        std::string_view value;
        if (*p == '=') {
            ++p;
            while (p < end && IsSpace(*p)) ++p;
            if (p >= end) return nullptr;
            if (*p == '"' || *p == '\'') {
                const void* close = std::memchr(p + 1, *p, static_cast<std::size_t>(end - p - 1));
                if (!close) return nullptr;
                value = std::string_view(p + 1, static_cast<std::size_t>(static_cast<const char*>(close) - p - 1));
                p = static_cast<const char*>(close) + 1;
            } else if (*p != '>') {
                const char* valueStart = p;
                while (p < end && !IsSpace(*p) && *p != '>') ++p;
                value = std::string_view(valueStart, static_cast<std::size_t>(p - valueStart));
            }
        }
        // A repeated attribute is dropped: the first one counts.
        if (name.size() == 4 && !attrs.hasHref && EqualsLower(name, "href")) {
            attrs.href = value;
            attrs.hasHref = true;
        } else if (name.size() == 3 && !attrs.hasRel && EqualsLower(name, "rel")) {
            attrs.rel = value;
            attrs.hasRel = true;
        } else if (media) {
            NoteMediaAttribute(name, value, attrs);
        }
    }
}

// Elements whose content the tokenizer reads as text up to their end tag.
enum class TagClass { Ordinary, Base, Link, RawText, PlainText, Img, Source, Video, Audio };

TagClass Classify(std::string_view name, char (&lower)[10]) {
    if (name.size() < 3 || name.size() > 9) return TagClass::Ordinary;
    for (std::size_t i = 0; i < name.size(); ++i) lower[i] = Lower(name[i]);
    const std::string_view n(lower, name.size());
    if (n == "base") return TagClass::Base;
    if (n == "link") return TagClass::Link;
    if (n == "script" || n == "style" || n == "textarea" || n == "title" || n == "xmp" || n == "iframe" ||
        n == "noembed" || n == "noframes")
        return TagClass::RawText;
    if (n == "plaintext") return TagClass::PlainText;
    if (n == "img") return TagClass::Img;
    if (n == "source") return TagClass::Source;
    if (n == "video") return TagClass::Video;
    if (n == "audio") return TagClass::Audio;
    return TagClass::Ordinary;
}

// The "<" of the end tag that closes a raw text element, or the page's end.
const char* SkipRawText(const char* p, const char* end, std::string_view lowerName) {
    for (;;) {
        const void* lt = std::memchr(p, '<', static_cast<std::size_t>(end - p));
        if (!lt) return end;
        p = static_cast<const char*>(lt);
        const char* name = p + 2;
        if (static_cast<std::size_t>(end - p) > 2 + lowerName.size() && p[1] == '/' &&
            EqualsLower(std::string_view(name, lowerName.size()), lowerName)) {
            const char after = name[lowerName.size()];
            if (IsSpace(after) || after == '/' || after == '>') return p;
        }
        ++p;
    }
}

bool HasToken(std::string_view list, std::string_view lowerToken) {
    std::size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && IsSpace(list[i])) ++i;
        const std::size_t start = i;
        while (i < list.size() && !IsSpace(list[i])) ++i;
        if (i > start && EqualsLower(list.substr(start, i - start), lowerToken)) return true;
    }
    return false;
}

const char* SkipTo(const char* p, const char* end, char c) {
    const void* found = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return found ? static_cast<const char*>(found) : end;
}

// Past the next ">" (a bogus comment, a declaration), or the page's end.
const char* PastClose(const char* p, const char* end) {
    p = SkipTo(p, end, '>');
    return p < end ? p + 1 : end;
}

// After "<!--": the end of the comment ("-->", "--!>", or the abrupt "<!-->" and "<!--->").
const char* SkipComment(const char* p, const char* end) {
    if (p < end && *p == '>') return p + 1;
    if (p + 1 < end && p[0] == '-' && p[1] == '>') return p + 2;
    for (;;) {
        p = SkipTo(p, end, '-');
        if (p >= end) return end;
        if (p + 2 < end && p[1] == '-') {
            if (p[2] == '>') return p + 3;
            if (p + 3 < end && p[2] == '!' && p[3] == '>') return p + 4;
        }
        ++p;
    }
}

// What of a tag's media attributes its element fetches.
MediaAttributes MediaOf(const TagAttributes& attrs, TagClass kind) {
    MediaAttributes media;
    const bool img = kind == TagClass::Img, source = kind == TagClass::Source;
    if (img || source || kind == TagClass::Video || kind == TagClass::Audio) media.src = attrs.media.src;
    if (img || source) media.srcset = attrs.media.srcset;
    if (kind == TagClass::Video) media.poster = attrs.media.poster;
    media.dataSrc = attrs.media.dataSrc;
    media.dataSrcset = attrs.media.dataSrcset;
    return media;
}

}  // namespace

std::size_t ScanHrefsFrom(std::string_view page, std::size_t from, std::size_t until, HrefSink sink, void* context,
                          bool media) {
    const char* const begin = page.data();
    const char* const end = begin + page.size();
    const char* const pause = until < page.size() ? begin + until : end;
    const char* p = begin + std::min(from, page.size());
    auto offset = [&](const char* at) { return static_cast<std::size_t>(at - begin); };
    while (p < end) {
        p = SkipTo(p, end, '<');
        if (p >= end) break;
        if (p >= pause) return offset(p);
        const char* q = p + 1;
        if (q >= end) break;
        if (IsAlpha(*q)) {
            const char* nameStart = q;
            while (q < end && !IsSpace(*q) && *q != '/' && *q != '>') ++q;
            const std::string_view name(nameStart, static_cast<std::size_t>(q - nameStart));
            TagAttributes attrs;
            const char* after = ReadAttributes(q, end, attrs, media);
            if (!after) break;
            p = after;
            char lower[10];
            const TagClass kind = Classify(name, lower);
            bool goOn = true;
            if (attrs.hasHref) {
                Href href{attrs.href, Href::Link};
                if (kind == TagClass::Base) href.kind = Href::Base;
                else if (kind == TagClass::Link && attrs.hasRel &&
                         (HasToken(attrs.rel, "stylesheet") || HasToken(attrs.rel, "icon")))
                    href.kind = Href::Resource;
                goOn = sink(context, href);
            }
            if (media && goOn) {
                const MediaAttributes found = MediaOf(attrs, kind);
                if (found.any()) {
                    Href tag{{}, Href::Media, &found};
                    goOn = sink(context, tag);
                }
            }
            if (kind == TagClass::RawText) p = SkipRawText(p, end, std::string_view(lower, name.size()));
            else if (kind == TagClass::PlainText) p = end;
            if (!goOn) return offset(p);
        } else if (*q == '!') {
            if (q + 2 < end && q[1] == '-' && q[2] == '-') p = SkipComment(q + 3, end);
            else p = PastClose(q, end);
        } else if (*q == '/') {
            if (q + 1 < end && IsAlpha(q[1])) {
                TagAttributes ignored;  // an end tag's attributes are read only to find its end
                ++q;
                while (q < end && !IsSpace(*q) && *q != '/' && *q != '>') ++q;
                const char* after = ReadAttributes(q, end, ignored);
                if (!after) break;
                p = after;
            } else if (q + 1 < end && q[1] == '>') {
                p = q + 2;
            } else {
                p = PastClose(q, end);
            }
        } else if (*q == '?') {
            p = PastClose(q, end);
        } else {
            p = q;
        }
    }
    return page.size();
}

bool FindBaseHref(std::string_view page, std::string_view& value) {
    // Most pages have no <base>: a look for its name spares them a second scan of their tags.
    bool candidate = false;
    for (std::size_t at = page.find('<'); at != std::string_view::npos && !candidate; at = page.find('<', at + 1)) {
        if (at + 5 < page.size() && EqualsLower(page.substr(at + 1, 4), "base")) {
            const char after = page[at + 5];
            candidate = IsSpace(after) || after == '/' || after == '>';
        }
    }
    if (!candidate) return false;
    bool found = false;
    ScanLinksFrom(page, 0, page.size(), [&](const Href& href) {
        if (href.kind != Href::Base) return true;
        value = href.value;
        found = true;
        return false;
    });
    return found;
}

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
        i = DecodeReferenceAt(raw, amp, out);
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
    for (char ch : bytes) AppendUtf8(out, static_cast<unsigned char>(ch));
    return out;
}

bool MakePageAddress(std::string_view page, const std::string_view* baseHref, PageAddress& out) {
    if (!WebUrl::Parse(page, nullptr, out.page)) return false;
    out.base = out.page;
    if (baseHref) {
        const std::string decoded = DecodeCharacterReferences(ToUtf8(*baseHref));
        WebUrl::Url base;
        if (WebUrl::Parse(decoded, &out.page, base)) out.base = std::move(base);
    }
    return true;
}

bool CompleteLink(const PageAddress& where, std::string_view raw, WebUrl::Url& out) {
    std::string utf8, decoded;
    std::string_view link = raw;
    if (!IsValidUtf8(link)) link = utf8 = ToUtf8(link);
    if (link.find('&') != std::string_view::npos) link = decoded = DecodeCharacterReferences(link);
    if (!WebUrl::Parse(link, &where.base, out)) return false;
    return out.withoutFragment() != where.page.withoutFragment();
}

namespace {
bool IsValidInteger(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

// HTML's valid floating-point number: "-"?, digits, "." digits, or both; then e or E, a sign, digits.
bool IsValidFloat(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (i < n && text[i] == '-') ++i;
    const std::size_t whole = i;
    while (i < n && IsDigit(text[i])) ++i;
    bool digits = i > whole;
    if (i < n && text[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < n && IsDigit(text[i])) ++i;
        if (i == fraction) return false;
        digits = true;
    }
    if (!digits) return false;
    if (i < n && (text[i] | 0x20) == 'e') {
        ++i;
        if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
        const std::size_t exponent = i;
        while (i < n && IsDigit(text[i])) ++i;
        if (i == exponent) return false;
    }
    return i == n;
}

long long IntegerOf(std::string_view digits) {
    long long value = 0;
    for (char c : digits) value = value > (1LL << 50) ? value : value * 10 + (c - '0');
    return value;
}

// A candidate from its descriptors, as a browser judges them; false for one it drops.
bool MakeCandidate(std::string_view url, const std::vector<std::string_view>& descriptors, SrcsetCandidate& out) {
    out = SrcsetCandidate{url};
    long long height = -1;
    for (const std::string_view d : descriptors) {
        const std::string_view number = d.substr(0, d.size() - 1);
        switch (d.back()) {
        case 'w':
            if (out.width >= 0 || out.density >= 0 || !IsValidInteger(number)) return false;
            out.width = IntegerOf(number);
            if (out.width == 0) return false;
            break;
        case 'x': {
            if (out.width >= 0 || out.density >= 0 || height >= 0 || !IsValidFloat(number)) return false;
            double value = 0;
            const auto [at, error] = std::from_chars(number.data(), number.data() + number.size(), value);
            if (error != std::errc() || at != number.data() + number.size() || !std::isfinite(value) || value < 0)
                return false;
            out.density = value;
            break;
        }
        case 'h':
            if (height >= 0 || out.density >= 0 || !IsValidInteger(number)) return false;
            height = IntegerOf(number);
            if (height == 0) return false;
            break;
        default:
            return false;
        }
    }
    return height < 0 || out.width >= 0;
}
}  // namespace

std::size_t ParseSrcset(std::string_view s, std::vector<SrcsetCandidate>& out, std::size_t most) {
    const std::size_t n = s.size();
    std::size_t i = 0, taken = 0, leftOut = 0;
    std::vector<std::string_view> descriptors;
    for (;;) {
        while (i < n && (IsSpace(s[i]) || s[i] == ',')) ++i;
        if (i >= n) break;
        const std::size_t start = i;
        while (i < n && !IsSpace(s[i])) ++i;
        std::string_view url = s.substr(start, i - start);
        descriptors.clear();
        if (url.back() == ',') {
            // "a.jpg," ends its candidate: it has no descriptors.
            while (!url.empty() && url.back() == ',') url.remove_suffix(1);
        } else {
            while (i < n && IsSpace(s[i])) ++i;
            enum { InDescriptor, InParens, AfterDescriptor } state = InDescriptor;
            std::size_t from = 0, to = 0;  // the descriptor being read, s[from, to)
            auto push = [&] {
                if (to > from) descriptors.push_back(s.substr(from, to - from));
                from = to = 0;
            };
            auto extend = [&] {
                if (to == from) from = i;
                to = i + 1;
            };
            for (;; ++i) {
                if (i >= n) {
                    push();
                    break;
                }
                const char c = s[i];
                if (state == InDescriptor) {
                    if (IsSpace(c)) {
                        push();
                        state = AfterDescriptor;
                    } else if (c == ',') {
                        ++i;
                        push();
                        break;
                    } else {
                        extend();
                        if (c == '(') state = InParens;
                    }
                } else if (state == InParens) {
                    extend();
                    if (c == ')') state = InDescriptor;
                } else if (!IsSpace(c)) {
                    state = InDescriptor;
                    --i;  // read again as part of the next descriptor
                }
            }
        }
        if (url.empty()) continue;
        SrcsetCandidate candidate;
        if (!MakeCandidate(url, descriptors, candidate)) continue;
        if (taken < most) {
            out.push_back(candidate);
            ++taken;
        } else {
            ++leftOut;
        }
    }
    return leftOut;
}

const SrcsetCandidate* LargestCandidate(const std::vector<SrcsetCandidate>& candidates) {
    const SrcsetCandidate* best = nullptr;
    for (const SrcsetCandidate& c : candidates) {
        if (!best) {
            best = &c;
        } else if (c.width >= 0 || best->width >= 0) {
            if (c.width > best->width) best = &c;
        } else if ((c.density < 0 ? 1.0 : c.density) > (best->density < 0 ? 1.0 : best->density)) {
            best = &c;
        }
    }
    return best;
}

}  // namespace ExtractLinks

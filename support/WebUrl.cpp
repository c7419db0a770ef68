#include "support/WebUrl.h"
#include "support/WebUrlParts.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace WebUrl {

using namespace Parts;

namespace {

// The percent-encode sets, one bit each; bytes of 0x80 and above are in every set.
enum : std::uint8_t { kC0 = 1, kFragment = 2, kQuery = 4, kSpecialQuery = 8, kPath = 16, kUserinfo = 32 };

constexpr std::array<std::uint8_t, 128> MakeSets() {
    std::array<std::uint8_t, 128> sets{};
    auto add = [&](std::uint8_t set, std::string_view chars) {
        for (char c : chars) sets[static_cast<unsigned char>(c)] |= set;
    };
    for (int c = 0; c < 0x20; ++c) sets[c] = 0xFF;
    sets[0x7F] = 0xFF;
    const std::uint8_t fromFragment = kFragment;
    add(fromFragment, " \"<>`");
    add(kQuery | kSpecialQuery | kPath | kUserinfo, " \"#<>");
    add(kSpecialQuery, "'");
    add(kPath | kUserinfo, "?^`{}");
    add(kUserinfo, "/:;=@[\\]|");
    return sets;
}
constexpr std::array<std::uint8_t, 128> kSets = MakeSets();

void AppendEncoded(std::string& out, char ch, std::uint8_t set) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80 && !(kSets[c] & set)) {
        out.push_back(ch);
        return;
    }
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(kHexDigits[c >> 4]);
    out.push_back(kHexDigits[c & 15]);
}

void AppendEncoded(std::string& out, std::string_view text, std::uint8_t set) {
    for (char c : text) AppendEncoded(out, c, set);
}

bool IsSingleDot(std::string_view s) { return s == "." || s == "%2e" || s == "%2E"; }
bool IsDoubleDot(std::string_view s) {
    if (s.size() < 2 || s.size() > 6) return false;
    std::string lower;
    for (char c : s) lower.push_back(Lower(c));
    return lower == ".." || lower == ".%2e" || lower == "%2e." || lower == "%2e%2e";
}

// The path is kept serialised: each segment with its "/" in front.
void ShortenPath(std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) path.resize(slash);
}


std::uint16_t DefaultPort(std::string_view scheme) { return scheme == "https" ? 443 : 80; }

bool IsAuthorityEnd(char c) { return c == '/' || c == '\\' || c == '?' || c == '#'; }

// The input without tabs and line breaks, and without C0 controls and blanks around it.
std::string_view CleanInput(std::string_view input, std::string& scratch) {
    while (!input.empty() && static_cast<unsigned char>(input.front()) <= 0x20) input.remove_prefix(1);
    while (!input.empty() && static_cast<unsigned char>(input.back()) <= 0x20) input.remove_suffix(1);
    if (input.find_first_of("\t\n\r") == std::string_view::npos) return input;
    scratch.clear();
    for (char c : input)
        if (c != '\t' && c != '\n' && c != '\r') scratch.push_back(c);
    return scratch;
}

}  // namespace


bool Parse(std::string_view rawInput, const Url* base, Url& out) {
    std::string scratch;
    const std::string_view in = CleanInput(rawInput, scratch);
    const std::size_t n = in.size();
    std::size_t p = 0;
    std::string& href = out.href;
    href.clear();
    out.queryStart = out.fragmentStart = kNone;

    // Scheme, when the input starts with one.
    std::string_view scheme;
    bool hasScheme = false;
    if (n && IsAlpha(in[0])) {
        std::size_t i = 1;
        while (i < n && (IsAlpha(in[i]) || IsDigit(in[i]) || in[i] == '+' || in[i] == '-' || in[i] == '.')) ++i;
        if (i < n && in[i] == ':') {
            std::string lower;
            for (std::size_t k = 0; k < i; ++k) lower.push_back(Lower(in[k]));
            if (lower != "http" && lower != "https") return false;
            scheme = lower == "http" ? std::string_view("http") : std::string_view("https");
            hasScheme = true;
            p = i + 1;
        }
    }
    if (!hasScheme) {
        if (!base) return false;
        scheme = base->scheme();
    }
    href.append(scheme);
    out.schemeEnd = href.size();
    href.append("://");

    // Whether the authority comes from the input or from the base.
    bool ownAuthority;
    if (hasScheme && !(base && base->scheme() == scheme)) {
        ownAuthority = true;
    } else if (hasScheme && p + 1 < n + 1 && p < n && in[p] == '/' && p + 1 < n && in[p + 1] == '/') {
        ownAuthority = true;
    } else {
        ownAuthority = p < n && IsSlash(in[p]) && p + 1 < n && IsSlash(in[p + 1]);
    }

    std::string path;
    if (ownAuthority) {
        while (p < n && IsSlash(in[p])) ++p;
        std::size_t end = p;
        while (end < n && !IsAuthorityEnd(in[end])) ++end;
        std::string_view authority = in.substr(p, end - p);
        p = end;
        const std::size_t at = authority.rfind('@');
        if (at != std::string_view::npos) {
            const std::string_view userinfo = authority.substr(0, at);
            authority.remove_prefix(at + 1);
            if (authority.empty()) return false;
            const std::size_t colon = userinfo.find(':');
            const std::string_view user = userinfo.substr(0, colon);
            const std::string_view password = colon == std::string_view::npos ? std::string_view() : userinfo.substr(colon + 1);
            if (!user.empty() || !password.empty()) {
                AppendEncoded(href, user, kUserinfo);
                if (!password.empty()) {
                    href.push_back(':');
                    AppendEncoded(href, password, kUserinfo);
                }
                href.push_back('@');
            }
        }
        // The port starts at the first ":" outside brackets.
        std::size_t colon = std::string_view::npos;
        bool inBrackets = false;
        for (std::size_t i = 0; i < authority.size(); ++i) {
            if (authority[i] == '[') inBrackets = true;
            else if (authority[i] == ']') inBrackets = false;
            else if (authority[i] == ':' && !inBrackets) {
                colon = i;
                break;
            }
        }
        const std::string_view host = authority.substr(0, colon);
        if (host.empty()) return false;
        out.hostStart = href.size();
        if (!ParseHost(host, href)) return false;
        out.hostEnd = href.size();
        if (colon != std::string_view::npos) {
            const std::string_view port = authority.substr(colon + 1);
            std::uint32_t value = 0;
            for (char c : port) {
                if (!IsDigit(c)) return false;
                value = value * 10 + static_cast<std::uint32_t>(c - '0');
                if (value > 65535) return false;
            }
            if (!port.empty() && value != DefaultPort(scheme)) href.append(":").append(std::to_string(value));
        }
        // Path start: a leading slash is the path's own.
        if (p < n && IsSlash(in[p])) ++p;
    } else {
        // Relative to the base: its authority, and its path unless the input has one of its own.
        const std::string_view b = base->href;
        href.append(b.substr(base->schemeEnd + 3, base->pathStart - base->schemeEnd - 3));
        out.hostStart = base->hostStart - base->schemeEnd + out.schemeEnd;
        out.hostEnd = base->hostEnd - base->schemeEnd + out.schemeEnd;
        const std::size_t basePathEnd = std::min(base->queryStart, std::min(base->fragmentStart, b.size()));
        if (p < n && IsSlash(in[p])) {
            ++p;
        } else {
            path.assign(b.substr(base->pathStart, basePathEnd - base->pathStart));
            if (p == n || in[p] == '?' || in[p] == '#') {
                // Only a query or a fragment, or nothing: the base's path, and its query too
                // unless a new one is given.
                out.pathStart = href.size();
                href.append(path);
                if (p == n || in[p] == '#') {
                    const std::size_t queryEnd = std::min(base->fragmentStart, b.size());
                    if (base->queryStart != kNone) {
                        out.queryStart = href.size();
                        href.append(b.substr(base->queryStart, queryEnd - base->queryStart));
                    }
                }
                goto queryAndFragment;
            }
            ShortenPath(path);
        }
    }

    // The path state, segment by segment.
    {
        std::string segment;
        for (;;) {
            const bool atEnd = p >= n || in[p] == '?' || in[p] == '#';
            if (atEnd || IsSlash(in[p])) {
                const bool slash = !atEnd;
                if (IsDoubleDot(segment)) {
                    ShortenPath(path);
                    if (!slash) path.push_back('/');
                } else if (IsSingleDot(segment)) {
                    if (!slash) path.push_back('/');
                } else {
                    path.push_back('/');
                    path.append(segment);
                }
                segment.clear();
                if (atEnd) break;
                ++p;
                continue;
            }
            AppendEncoded(segment, in[p], kPath);
            ++p;
        }
        out.pathStart = href.size();
        href.append(path);
    }

queryAndFragment:
    if (p < n && in[p] == '?') {
        out.queryStart = href.size();
        href.push_back('?');
        ++p;
        while (p < n && in[p] != '#') AppendEncoded(href, in[p++], kSpecialQuery);
    }
    if (p < n && in[p] == '#') {
        out.fragmentStart = href.size();
        href.push_back('#');
        ++p;
        while (p < n) AppendEncoded(href, in[p++], kFragment);
    }
    return true;
}

std::optional<Url> Parse(std::string_view input, const Url* base) {
    Url url;
    if (!Parse(input, base, url)) return std::nullopt;
    return url;
}

bool FromUserText(std::string_view text, Url& out) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 0x20) text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 0x20) text.remove_suffix(1);
    if (text.empty()) return false;
    std::size_t i = 0;
    if (IsAlpha(text[0])) {
        i = 1;
        while (i < text.size() && (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == '+' || text[i] == '-' || text[i] == '.'))
            ++i;
    }
    if (i > 0 && i < text.size() && text[i] == ':') {
        // "host:8080" and "host:8080/x" name a port, not a scheme.
        std::size_t digitsEnd = i + 1;
        while (digitsEnd < text.size() && IsDigit(text[digitsEnd])) ++digitsEnd;
        const bool port = digitsEnd > i + 1 && (digitsEnd == text.size() || IsAuthorityEnd(text[digitsEnd]));
        if (!port) return Parse(text, nullptr, out);
    }
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20) return false;
    std::string completed = "http://";
    completed.append(text);
    return Parse(completed, nullptr, out);
}

std::optional<QString> FromUserText(QStringView text) {
    Url url;
    const QByteArray utf8 = text.toUtf8();
    if (!FromUserText(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), url)) return std::nullopt;
    return QString::fromLatin1(url.href.data(), static_cast<qsizetype>(url.href.size()));
}

bool IsWebUrl(QStringView text) {
    Url url;
    const QByteArray utf8 = text.toUtf8();
    return Parse(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), nullptr, url);
}

}  // namespace WebUrl

#include "support/WebUrl.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include <idn2.h>

namespace WebUrl {

namespace {

bool IsAlpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
bool IsSlash(char c) { return c == '/' || c == '\\'; }

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

// An IPv4 number: decimal, 0x hex or 0 octal; false when it is none of them.
bool ParseIpv4Number(std::string_view s, std::uint64_t& value) {
    if (s.empty()) return false;
    int radix = 10;
    if (s.size() >= 2 && s[0] == '0' && (s[1] | 0x20) == 'x') {
        s.remove_prefix(2);
        radix = 16;
    } else if (s.size() >= 2 && s[0] == '0') {
        s.remove_prefix(1);
        radix = 8;
    }
    value = 0;
    for (char c : s) {
        int digit;
        if (radix == 16 && IsHex(c)) digit = HexValue(c);
        else if (IsDigit(c) && c - '0' < radix) digit = c - '0';
        else return false;
        // Anything past 32 bits is too big either way; stop growing.
        if (value <= 0xFFFFFFFFull) value = value * static_cast<unsigned>(radix) + static_cast<unsigned>(digit);
    }
    return true;
}

bool EndsInNumber(std::string_view host) {
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
        if (host.empty()) return false;
    }
    const std::size_t dot = host.rfind('.');
    const std::string_view last = dot == std::string_view::npos ? host : host.substr(dot + 1);
    if (last.empty()) return false;
    bool digits = true;
    for (char c : last) digits = digits && IsDigit(c);
    if (digits) return true;
    std::uint64_t ignored;
    return last.size() >= 2 && last[0] == '0' && (last[1] | 0x20) == 'x' && ParseIpv4Number(last, ignored);
}

bool ParseIpv4(std::string_view host, std::string& out) {
    std::string_view parts[5];
    std::size_t count = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = host.find('.', start);
        if (count == 5) return false;
        parts[count++] = host.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (count > 1 && parts[count - 1].empty()) --count;
    if (count > 4) return false;
    std::uint64_t numbers[4];
    for (std::size_t i = 0; i < count; ++i)
        if (!ParseIpv4Number(parts[i], numbers[i])) return false;
    for (std::size_t i = 0; i + 1 < count; ++i)
        if (numbers[i] > 255) return false;
    if (numbers[count - 1] >= (1ull << (8 * (5 - count)))) return false;
    std::uint64_t address = numbers[count - 1];
    for (std::size_t i = 0; i + 1 < count; ++i) address += numbers[i] << (8 * (3 - i));
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += std::to_string((address >> shift) & 0xFF);
        if (shift) out.push_back('.');
    }
    return true;
}

bool ParseIpv6(std::string_view in, std::string& out) {
    std::uint16_t address[8] = {};
    int piece = 0;
    int compress = -1;
    std::size_t p = 0;
    auto at = [&](std::size_t i) { return i < in.size() ? in[i] : '\0'; };
    const std::size_t n = in.size();
    if (at(p) == ':') {
        if (at(p + 1) != ':') return false;
        p += 2;
        compress = ++piece;
    }
    while (p < n) {
        if (piece == 8) return false;
        if (in[p] == ':') {
            if (compress != -1) return false;
            ++p;
            compress = ++piece;
            continue;
        }
        unsigned value = 0;
        int length = 0;
        while (length < 4 && p < n && IsHex(in[p])) {
            value = value * 16 + static_cast<unsigned>(HexValue(in[p]));
            ++p;
            ++length;
        }
        if (p < n && in[p] == '.') {
            if (length == 0) return false;
            p -= static_cast<std::size_t>(length);
            if (piece > 6) return false;
            int numbersSeen = 0;
            while (p < n) {
                int ipv4Piece = -1;
                if (numbersSeen > 0) {
                    if (in[p] == '.' && numbersSeen < 4) ++p;
                    else return false;
                }
                if (p >= n || !IsDigit(in[p])) return false;
                while (p < n && IsDigit(in[p])) {
                    const int number = in[p] - '0';
                    if (ipv4Piece == -1) ipv4Piece = number;
                    else if (ipv4Piece == 0) return false;
                    else ipv4Piece = ipv4Piece * 10 + number;
                    if (ipv4Piece > 255) return false;
                    ++p;
                }
                address[piece] = static_cast<std::uint16_t>(address[piece] * 0x100 + ipv4Piece);
                ++numbersSeen;
                if (numbersSeen == 2 || numbersSeen == 4) ++piece;
            }
            if (numbersSeen != 4) return false;
            break;
        }
        if (p < n && in[p] == ':') {
            ++p;
            if (p >= n) return false;
        } else if (p < n) {
            return false;
        }
        address[piece++] = static_cast<std::uint16_t>(value);
    }
    if (compress != -1) {
        int swaps = piece - compress;
        piece = 7;
        while (piece != 0 && swaps > 0) {
            std::swap(address[piece], address[compress + swaps - 1]);
            --piece;
            --swaps;
        }
    } else if (piece != 8) {
        return false;
    }
    // The first longest run of two or more zero pieces becomes "::".
    int bestStart = -1, bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && address[j] == 0) ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    out.push_back('[');
    static constexpr char kHexDigits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += i == 0 ? "::" : ":";
            i += bestLength - 1;
            continue;
        }
        char digits[4];
        int k = 0;
        for (unsigned v = address[i]; k == 0 || v; v >>= 4) digits[k++] = kHexDigits[v & 15];
        while (k) out.push_back(digits[--k]);
        if (i != 7) out.push_back(':');
    }
    out.push_back(']');
    return true;
}

bool IsForbiddenDomainByte(unsigned char c) {
    if (c <= 0x20 || c == 0x7F) return true;
    switch (c) {
    case '#': case '%': case '/': case ':': case '<': case '>': case '?': case '@': case '[': case '\\': case ']':
    case '^': case '|':
        return true;
    default:
        return false;
    }
}

bool HasXnLabel(std::string_view domain) {
    std::size_t start = 0;
    for (;;) {
        if (domain.size() - start >= 4 && Lower(domain[start]) == 'x' && Lower(domain[start + 1]) == 'n' &&
            domain[start + 2] == '-' && domain[start + 3] == '-')
            return true;
        const std::size_t dot = domain.find('.', start);
        if (dot == std::string_view::npos) return false;
        start = dot + 1;
    }
}

// The host parser for special schemes, appending the serialised host to `out`.
bool ParseHost(std::string_view input, std::string& out) {
    if (!input.empty() && input.front() == '[') {
        if (input.size() < 2 || input.back() != ']') return false;
        return ParseIpv6(input.substr(1, input.size() - 2), out);
    }
    std::string decoded;
    decoded.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '%' && i + 2 < input.size() && IsHex(input[i + 1]) && IsHex(input[i + 2])) {
            decoded.push_back(static_cast<char>(HexValue(input[i + 1]) * 16 + HexValue(input[i + 2])));
            i += 2;
        } else {
            decoded.push_back(input[i]);
        }
    }
    std::string ascii = DomainToAscii(decoded);
    if (ascii.empty()) return false;
    for (char c : ascii)
        if (IsForbiddenDomainByte(static_cast<unsigned char>(c))) return false;
    if (EndsInNumber(ascii)) return ParseIpv4(ascii, out);
    out += ascii;
    return true;
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

std::string DomainToAscii(std::string_view domain) {
    bool ascii = true;
    for (char c : domain) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii && !HasXnLabel(domain)) {
        std::string out(domain);
        for (char& c : out) c = Lower(c);
        return out;
    }
    if (domain.find('\0') != std::string_view::npos) return {};
    const std::string input(domain);
    char* converted = nullptr;
    if (idn2_to_ascii_8z(input.c_str(), &converted, IDN2_NONTRANSITIONAL) != IDN2_OK) return {};
    std::string out(converted);
    idn2_free(converted);
    for (char& c : out) c = Lower(c);
    return out;
}

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

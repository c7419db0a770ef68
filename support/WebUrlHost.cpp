// The hosts of web addresses: domains through IDNA, IPv4 in its number forms, bracketed IPv6.
#include "support/WebUrl.h"
#include "support/WebUrlParts.h"

#include <cstdint>
#include <cstdlib>

#include <idn2.h>

namespace WebUrl {

using namespace Parts;

namespace {

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

}  // namespace

bool Parts::ParseHost(std::string_view input, std::string& out) {
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

}  // namespace WebUrl

#pragma once
// What the address parser and its host parser share.
#include <string>
#include <string_view>

namespace WebUrl::Parts {

inline bool IsAlpha(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsHex(char c) { return IsDigit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
inline int HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline bool IsSlash(char c) { return c == '/' || c == '\\'; }

// The host parser for special schemes (a domain, an IPv4 or a bracketed IPv6 address), appending
// the serialised host to `out`; false for a host that is none of them.
bool ParseHost(std::string_view input, std::string& out);

}  // namespace WebUrl::Parts

// Texts of a registry export file: letter case and blanks, UTF-16 and UTF-8,
// quoted texts and lists of hex bytes.
// DIAGNOSTICS: none; the parsers report false on text they cannot read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw::reg {

std::string Upper(std::string s);
bool SameText(const std::string& a, const std::string& b);
/// Blanks and tabs removed on both sides.
std::string Trim(const std::string& s);
/// UTF-16LE bytes to UTF-8; nulls are kept as null characters.
std::string Utf16ToUtf8(const std::uint8_t* p, std::size_t n);
/// 8-bit text (UTF-8 where it is valid, otherwise Latin-1) to UTF-16LE bytes.
std::vector<std::uint8_t> Utf8ToUtf16(const std::vector<std::uint8_t>& s);
std::string QuoteText(const std::string& s);
/// Reads a quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool UnquoteText(const std::string& s, std::size_t& pos, std::string& out);
/// "0a,ff,..." (blanks ignored) to bytes.
bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& out);
std::string HexBytes(const std::vector<std::uint8_t>& data);
/// Types 1, 2 and 7 hold texts.
bool IsTextType(std::uint32_t type);

}  // namespace bw::reg

// Small text helpers shared by every layer. None of them throws on bad input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velka {

// Removes every trailing, then every leading, character of " \r\n\t".
std::string Trim(const std::string& text);

// Replaces every occurrence of `search`, as if searching again from the beginning after each
// replacement (so text formed by a replacement and its neighbours is replaced too). When
// `replacement` contains `search`, which would never end, one left-to-right pass is made
// instead. An empty `search` returns the text unchanged.
std::string ReplaceAll(std::string text, const std::string& search, const std::string& replacement);
std::wstring ReplaceAll(std::wstring text, const std::wstring& search,
                        const std::wstring& replacement);

// `text` without a UTF-8 byte-order mark at its start (some Windows editors write one).
std::string WithoutByteOrderMark(std::string text);

// ASCII letters lowered; every other byte (ANSI or UTF-8 text beyond ASCII too) kept as it is.
std::string AsciiLower(std::string text);
// Equal once ASCII letters are lowered: how Windows file systems compare ASCII names.
bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b);

// Splits at every delimiter; empty pieces are dropped.
std::vector<std::string> Split(const std::string& text, char delimiter);

// Decimal parsers with strtol semantics (leading blanks and a sign accepted, trailing text
// ignored). No digits or out of range: 0. They never throw. ToUInt32 reads every negative
// number ("-1" included) as out of range, so 0, where strtoul would wrap it around.
int32_t ToInt(const std::string& text);
int64_t ToInt64(const std::string& text);
uint32_t ToUInt32(const std::string& text);

std::string IntToString(int32_t value);

// Percent-encodes the UTF-8 form of narrow (ANSI code page) text for form bodies: letters,
// digits, "-", "." and "~" stay, a space becomes "+", every other byte "%XX". The result holds
// at most 1023 characters: encoding stops before the first character whose encoded bytes would
// not all fit, and the rest of the input is dropped (a character is never cut in half; a byte
// that is not part of a well-formed UTF-8 sequence counts as a character of its own).
std::string UrlEncode(const std::string& text);

// The same for text that is already UTF-8 (the conversion step is skipped).
std::string UrlEncodeUtf8(const std::string& utf8);

}  // namespace velka

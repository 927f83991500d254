// Small text helpers shared by every layer. None of them throws on bad input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velka {

// Removes every trailing, then every leading, character of " \r\n\t".
std::string Trim(const std::string& text);

// Replaces every occurrence of `search`, restarting at the beginning after each replacement,
// so `replacement` must never contain `search`. An empty `search` returns the text unchanged.
std::string ReplaceAll(std::string text, const std::string& search, const std::string& replacement);
std::wstring ReplaceAll(std::wstring text, const std::wstring& search,
                        const std::wstring& replacement);

// Splits at every delimiter; empty pieces are dropped.
std::vector<std::string> Split(const std::string& text, char delimiter);

// Decimal parsers with strtol semantics (leading blanks and a sign accepted, trailing text
// ignored). No digits or out of range: 0. They never throw.
int32_t ToInt(const std::string& text);
int64_t ToInt64(const std::string& text);
uint32_t ToUInt32(const std::string& text);

std::string IntToString(int32_t value);

// Percent-encodes the UTF-8 form of narrow (ANSI code page) text for form bodies: letters,
// digits, "-", "." and "~" stay, a space becomes "+", every other byte "%XX". The result holds
// at most 1023 characters; input whose encoding would not fit is dropped.
std::string UrlEncode(const std::string& text);

// The same for text that is already UTF-8 (the conversion step is skipped).
std::string UrlEncodeUtf8(const std::string& utf8);

}  // namespace velka

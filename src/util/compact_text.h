// A text in 16 bytes, set and read whole, for records kept by the hundred thousand (one per line
// of a file list): std::string takes 32 bytes before its text even needs the heap.
//
// Up to 15 chars (7 wide chars where wchar_t has 2 bytes, 3 where it has 4) are stored inline;
// a longer text takes one heap block of exactly its length. It reads like the standard string it
// replaces where the record's users need it: it converts to std::basic_string (so functions taking
// a string accept it), compares with strings, string views and literals, and concatenates with
// strings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

namespace velka {

template <typename Char>
class BasicCompactText {
  public:
    using View = std::basic_string_view<Char>;
    using String = std::basic_string<Char>;

    BasicCompactText() { chars_[kTag] = 0; }
    BasicCompactText(View text) { Set(text); }  // NOLINT: converts like the string it stands for
    BasicCompactText(const BasicCompactText& other) { Set(other.view()); }
    BasicCompactText(BasicCompactText&& other) noexcept { Take(other); }
    BasicCompactText& operator=(const BasicCompactText& other) {
        if (this != &other) *this = other.view();
        return *this;
    }
    BasicCompactText& operator=(BasicCompactText&& other) noexcept {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }
    BasicCompactText& operator=(View text) {
        // Built apart first: `text` may point into this object's own block.
        BasicCompactText copy(text);
        return *this = std::move(copy);
    }
    ~BasicCompactText() { Release(); }

    View view() const {
        if (OnHeap()) return View(HeapData(), HeapSize());
        return View(chars_, static_cast<size_t>(chars_[kTag]));
    }
    String str() const { return String(view()); }
    operator String() const { return str(); }  // NOLINT: passes as the string it stands for
    size_t size() const { return view().size(); }
    bool empty() const { return size() == 0; }
    void clear() { *this = BasicCompactText(); }

    friend bool operator==(const BasicCompactText& a, View b) { return a.view() == b; }
    friend bool operator==(View a, const BasicCompactText& b) { return a == b.view(); }
    friend bool operator==(const BasicCompactText& a, const BasicCompactText& b) {
        return a.view() == b.view();
    }
    friend bool operator!=(const BasicCompactText& a, View b) { return !(a == b); }
    friend bool operator!=(View a, const BasicCompactText& b) { return !(a == b); }
    friend bool operator!=(const BasicCompactText& a, const BasicCompactText& b) {
        return !(a == b);
    }
    friend bool operator<(const BasicCompactText& a, View b) { return a.view() < b; }
    friend bool operator<(View a, const BasicCompactText& b) { return a < b.view(); }
    friend bool operator<(const BasicCompactText& a, const BasicCompactText& b) {
        return a.view() < b.view();
    }
    friend String operator+(const String& a, const BasicCompactText& b) {
        String joined = a;
        joined.append(b.view());
        return joined;
    }
    friend String operator+(const BasicCompactText& a, const String& b) {
        String joined = a.str();
        joined += b;
        return joined;
    }
    friend String operator+(const Char* a, const BasicCompactText& b) { return String(a) + b; }
    friend String operator+(const BasicCompactText& a, const Char* b) { return a.str() + b; }
    friend std::basic_ostream<Char>& operator<<(std::basic_ostream<Char>& out,
                                                const BasicCompactText& text) {
        return out << text.view();
    }

  private:
    // chars_[kTag] is the inline length, or kHeap when the text is in a heap block whose address
    // and length are stored in the bytes at the start of chars_.
    static constexpr size_t kSlots = 16 / sizeof(Char);
    static constexpr size_t kTag = kSlots - 1;
    static constexpr size_t kInline = kTag;
    static constexpr Char kHeap = static_cast<Char>(kInline + 1);
    static_assert(sizeof(Char*) + sizeof(uint32_t) <= kTag * sizeof(Char),
                  "a heap block's record must not reach the tag");

    bool OnHeap() const { return chars_[kTag] == kHeap; }
    Char* HeapData() const {
        Char* data = nullptr;
        std::memcpy(&data, chars_, sizeof(data));
        return data;
    }
    uint32_t HeapSize() const {
        uint32_t size = 0;
        std::memcpy(&size, reinterpret_cast<const char*>(chars_) + sizeof(Char*), sizeof(size));
        return size;
    }
    void Set(View text) {
        if (text.size() <= kInline) {
            if (!text.empty()) std::memcpy(chars_, text.data(), text.size() * sizeof(Char));
            chars_[kTag] = static_cast<Char>(text.size());
            return;
        }
        // No line of a list comes near 4 GiB; such a text would be cut, never wrapped.
        const uint32_t size = static_cast<uint32_t>(std::min<size_t>(text.size(), UINT32_MAX));
        Char* data = new Char[size];
        std::memcpy(data, text.data(), size * sizeof(Char));
        std::memcpy(chars_, &data, sizeof(data));
        std::memcpy(reinterpret_cast<char*>(chars_) + sizeof(data), &size, sizeof(size));
        chars_[kTag] = kHeap;
    }
    void Take(BasicCompactText& other) {
        std::memcpy(chars_, other.chars_, sizeof(chars_));
        other.chars_[kTag] = 0;
    }
    void Release() {
        if (OnHeap()) delete[] HeapData();
        chars_[kTag] = 0;
    }

    Char chars_[kSlots];
};

using CompactText = BasicCompactText<char>;
using CompactWideText = BasicCompactText<wchar_t>;

}  // namespace velka

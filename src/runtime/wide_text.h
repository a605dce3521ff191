// The tool's text is bytes; Windows speaks UTF-16. Names travel between the
// two as WTF-8: UTF-8 that also carries unpaired surrogates, which Windows
// names may hold, so that every UTF-16 name comes back unchanged and the
// entry found is the entry removed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

inline bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The WTF-8 bytes of UTF-16 text (Unit is a 16-bit code unit type).
template <typename Unit>
std::string NarrowText(std::basic_string_view<Unit> wide) {
  static_assert(sizeof(Unit) == 2);
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char16_t>(wide[i]);
    if (IsHighSurrogate(c) && i + 1 < wide.size() && IsLowSurrogate(static_cast<char16_t>(wide[i + 1]))) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(wide[++i]) - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Number of bytes of the WTF-8 sequence that `lead` starts, 0 when it
// starts none.
inline std::size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// A well-formed WTF-8 sequence at the head of some text: its code point
// and its length in bytes, 0 where none starts there.
struct Sequence {
  char32_t point = 0;
  std::size_t length = 0;
};

inline Sequence ReadSequence(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = SequenceLength(lead);
  if (length == 0 || length > text.size()) return {};
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[k]);
    if ((next & 0xC0) != 0x80) return {};
    c = c << 6 | (next & 0x3F);
  }
  // Overlong forms and values beyond U+10FFFF would not come back as the
  // same bytes.
  constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < smallest[length] || c > 0x10FFFF) return {};
  return {c, length};
}

// Writes the UTF-16 text of WTF-8 bytes to `out`, which has room for one
// unit per byte, and returns the number of units. A byte that starts no
// well-formed sequence becomes U+FFFD; text made by NarrowText has none.
template <typename Unit>
std::size_t DecodeWtf8(std::string_view narrow, Unit* out) {
  static_assert(sizeof(Unit) == 2);
  std::size_t units = 0;
  for (std::size_t i = 0; i < narrow.size();) {
    const Sequence sequence = ReadSequence(narrow.substr(i));
    const char32_t c = sequence.length != 0 ? sequence.point : 0xFFFD;
    if (c >= 0x10000) {
      out[units++] = static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10));
      out[units++] = static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out[units++] = static_cast<Unit>(c);
    }
    i += sequence.length != 0 ? sequence.length : 1;
  }
  return units;
}

// The UTF-16 text of WTF-8 bytes, as DecodeWtf8 makes it.
template <typename Unit>
std::basic_string<Unit> WideText(std::string_view narrow) {
  std::basic_string<Unit> out(narrow.size(), Unit{});
  out.resize(DecodeWtf8(narrow, out.data()));
  return out;
}

}  // namespace kelvane

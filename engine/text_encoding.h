// The one place where text changes between UTF-8 (the loader's own text:
// records, settings, scans, file and device names) and UTF-16 (Windows'
// wide calls, ODBC's W calls, consoles, settings files saved as UTF-16) or
// the window's wide text.
//
// What bad input becomes, in every conversion here:
// - UTF-8: each byte that does not begin a well-formed sequence is one
//   U+FFFD, and decoding goes on at the next byte. Not well-formed: a stray
//   continuation byte, a sequence cut short, an overlong form ("\xC0\x80" is
//   no NUL), an encoded surrogate, a value past U+10FFFF.
// - UTF-16: a surrogate without its other half is one U+FFFD.
// - ToUtf8 alone refuses (returns nothing) rather than replaces: it makes
//   names to open, where a replaced character would name another file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The character that `text` begins with. `length` is its bytes, 0 when the
// text is empty or begins with no well-formed sequence.
struct Utf8Character {
  std::size_t length = 0;
  char32_t value = 0;
};
Utf8Character DecodeUtf8(std::string_view text);

// `c` (a Unicode scalar value) appended as UTF-8.
void AppendUtf8(char32_t c, std::string* out);

// UTF-8 to UTF-16 and back, replacing what is not text (see above).
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view units);

// Whether `unit` is the first half of a surrogate pair, which a reader that
// gets its text in pieces keeps until the next piece.
constexpr bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

// The window's wide text (UTF-16 on Windows, UTF-32 elsewhere) as UTF-8;
// nothing for text that holds no valid character (a lone surrogate).
std::optional<std::string> ToUtf8(std::wstring_view text);
// Invalid sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);
// True when FromUtf8 would replace nothing.
bool IsValidUtf8(std::string_view text);

}  // namespace zevuvuri

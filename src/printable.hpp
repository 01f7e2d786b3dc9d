#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Text that came from outside (a path, a client's command) made safe to show on a terminal: well-
// formed UTF-8 that prints, accents included, stays as it is; every other byte (C0 controls, tab
// and DEL, C1 controls as raw bytes or as code points U+0080 to U+009F, malformed UTF-8) becomes
// \xNN, so that the text cannot move the cursor, retitle the window or start a line of its own.
namespace printable {

// Whether c continues a UTF-8 character rather than starting one.
constexpr bool continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

// The length of the well-formed UTF-8 character at the start of text (an ASCII byte is one), or
// 0 if it is malformed: a stray continuation, an overlong form, a surrogate, beyond U+10FFFF, cut.
std::size_t character_length(std::string_view text);

// The most that one byte of text can take once escaped.
inline constexpr std::size_t widest = 4;

// Escapes from the start of text into out as many whole characters as fit, removes them from
// text and returns the bytes written. A character is never cut.
std::size_t escape(std::string_view& text, std::span<char> out);

} // namespace printable

#include "printable.hpp"

#include <algorithm>

namespace printable {

std::size_t character_length(std::string_view text)
{
    auto const byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char const lead = byte(0);
    if (lead < 0x80)
        return 1;
    if (lead < 0xc2 || lead > 0xf4)
        return 0; // stray continuations, overlong forms, beyond U+10FFFF
    std::size_t const length = lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    if (text.size() < length)
        return 0;
    for (std::size_t at = 1; at < length; ++at) {
        if (!continuation(text[at]))
            return 0;
    }
    unsigned char const second = byte(1);
    bool const refused = (lead == 0xe0 && second < 0xa0) || // overlong
                         (lead == 0xed && second > 0x9f) || // UTF-16 surrogates
                         (lead == 0xf0 && second < 0x90) || // overlong
                         (lead == 0xf4 && second > 0x8f);   // beyond U+10FFFF
    return refused ? 0 : length;
}

namespace {

// The length of the printable character at the start of text, or 0 if its first byte must be
// escaped: controls, DEL, the C1 controls U+0080 to U+009F, and malformed UTF-8.
std::size_t printable_length(std::string_view text)
{
    auto const lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80)
        return lead >= 0x20 && lead < 0x7f ? 1 : 0;
    std::size_t const length = character_length(text);
    bool const c1 = length == 2 && lead == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0;
    return c1 ? 0 : length;
}

} // namespace

std::size_t escape(std::string_view& text, std::span<char> out)
{
    constexpr std::string_view hex = "0123456789abcdef";
    std::size_t written = 0;
    while (!text.empty()) {
        std::size_t const length = printable_length(text);
        std::size_t const needed = length == 0 ? widest : length;
        if (out.size() - written < needed)
            break;
        if (length == 0) {
            auto const c = static_cast<unsigned char>(text[0]);
            for (char const part : {'\\', 'x', hex[c >> 4], hex[c & 0xf]})
                out[written++] = part;
            text.remove_prefix(1);
        } else {
            std::copy_n(text.begin(), length, out.begin() + static_cast<std::ptrdiff_t>(written));
            written += length;
            text.remove_prefix(length);
        }
    }
    return written;
}

} // namespace printable

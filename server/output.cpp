#include "output.hpp"

#include "printable.hpp"
#include "write_all.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <unistd.h>

void output::put(std::span<const char> line)
{
    if (write_error_ == 0 && !write_all(STDOUT_FILENO, line))
        write_error_ = errno;
}

namespace {

// One line of the plain output: at most PIPE_BUF bytes with its newline.
class record {
public:
    record& operator<<(std::string_view text)
    {
        text = text.substr(0, text_.size() - 1 - len_);
        std::copy(text.begin(), text.end(), text_.begin() + static_cast<std::ptrdiff_t>(len_));
        len_ += text.size();
        return *this;
    }
    record& operator<<(std::int32_t number)
    {
        std::array<char, 16> digits;
        return *this << std::string_view{digits.data(),
                                         std::to_chars(digits.begin(), digits.end(), number).ptr};
    }
    // Escapes as much of text as fits and removes it from text.
    record& escaped(std::string_view& text)
    {
        len_ += printable::escape(text, std::span{text_}.subspan(len_, text_.size() - 1 - len_));
        return *this;
    }
    std::span<const char> line()
    {
        text_[len_++] = '\n';
        return {text_.data(), len_};
    }

private:
    std::array<char, PIPE_BUF> text_;
    std::size_t len_ = 0;
};

// Whose line it is.
record head(stream_decoder::client who, bool continued)
{
    record out;
    if (who.pid)
        out << "client " << *who.pid;
    else
        out << (who.mixed ? "clients mêlés" : "client inconnu");
    out << (continued ? " (suite)" : "");
    return out;
}

bool is_utf8(std::string_view text)
{
    for (std::size_t length = 0; !text.empty(); text.remove_prefix(length)) {
        length = printable::character_length(text);
        if (length == 0)
            return false;
    }
    return true;
}

} // namespace

void plain_output::listening(std::string_view path)
{
    put((record{} << "serveur : en attente de clients sur ").escaped(path).line());
    while (!path.empty())
        put((record{} << "serveur (suite) : ").escaped(path).line());
}

void plain_output::connected(std::int32_t pid, bool mixed)
{
    put((record{} << "client " << pid << (mixed ? " : connecté (flux mêlés)" : " : connecté"))
            .line());
    continued_ = false;
}

void plain_output::command(stream_decoder::client who, std::string_view line, bool partial)
{
    // A line longer than a record goes on in records marked as its continuation.
    do {
        record out = head(who, continued_);
        put((out << " : ").escaped(line).line());
        continued_ = true;
    } while (!line.empty());
    continued_ = partial;
}

void plain_output::ended(stream_decoder::client who, bool clean)
{
    put((head(who, false) << (clean       ? " : fin (ctrld)"
                              : who.mixed ? " : disparus sans ctrld"
                                          : " : disparu sans ctrld"))
            .line());
    continued_ = false;
}

void json_output::listening(std::string_view path)
{
    raw(R"({"event":"listening",)").text("path", path).put_line();
}

void json_output::connected(std::int32_t pid, bool mixed)
{
    raw(R"({"event":"connected","pid":)").number(pid).raw(R"(,"mixed":)");
    raw(mixed ? "true" : "false").put_line();
}

void json_output::command(stream_decoder::client who, std::string_view line, bool partial)
{
    raw(R"({"event":"command","pid":)").pid(who).raw(",").text("line", line);
    raw(partial ? R"(,"partial":true)" : "").put_line();
}

void json_output::ended(stream_decoder::client who, bool clean)
{
    raw(R"({"event":"end","pid":)").pid(who).raw(R"(,"clean":)");
    raw(clean ? "true" : "false").put_line();
}

json_output& json_output::raw(std::string_view text)
{
    std::copy(text.begin(), text.end(), line_.begin() + static_cast<std::ptrdiff_t>(len_));
    len_ += text.size();
    return *this;
}

json_output& json_output::number(std::int32_t value)
{
    len_ = static_cast<std::size_t>(
        std::to_chars(line_.data() + len_, line_.data() + line_.size(), value).ptr - line_.data());
    return *this;
}

json_output& json_output::pid(stream_decoder::client who)
{
    return who.pid ? number(*who.pid) : raw("null");
}

// "name":"value", or "name_base64":"..." if value is not UTF-8.
json_output& json_output::text(std::string_view name, std::string_view value)
{
    bool const utf8 = is_utf8(value);
    raw("\"").raw(name).raw(utf8 ? "\":\"" : "_base64\":\"");
    return (utf8 ? escaped(value) : base64(value)).raw("\"");
}

// Text in a JSON string: quotes and backslashes escaped, and control characters, DEL and the C1
// controls too, so that the line shows safely on a terminal.
json_output& json_output::escaped(std::string_view text)
{
    constexpr std::string_view hex = "0123456789abcdef";
    for (std::size_t length = 0; !text.empty(); text.remove_prefix(length)) {
        length = printable::character_length(text);
        auto const lead = static_cast<unsigned char>(text[0]);
        // U+0080 to U+009F are C2 80 to C2 9F: the second byte is the code point.
        unsigned const code = length == 1 ? lead : static_cast<unsigned char>(text[1]);
        bool const control = code < 0x20 || code == 0x7f || (lead == 0xc2 && code < 0xa0);
        if (lead == '"' || lead == '\\') {
            raw("\\").raw(text.substr(0, 1));
        } else if (control) {
            for (char const c : {'\\', 'u', '0', '0', hex[code >> 4], hex[code & 0xf]})
                line_[len_++] = c;
        } else {
            raw(text.substr(0, length));
        }
    }
    return *this;
}

json_output& json_output::base64(std::string_view bytes)
{
    constexpr std::string_view digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        std::size_t const n = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[at + k]) : 0U);
        for (std::size_t k = 0; k < 4; ++k)
            line_[len_++] = k <= n ? digits[group >> (18 - 6 * k) & 0x3f] : '=';
    }
    return *this;
}

void json_output::put_line()
{
    raw("}\n");
    put({line_.data(), len_});
    len_ = 0;
}

// The stand-in server's decoder on streams of clients back to back, built from the input and
// checked against a model of what the stream says: each session's commands, clean when its text
// ends with "ctrld", and mixed from a header that comes before the session before it ended.
// The first byte chooses the headers' byte order (its high bit) and the size of the pieces in
// which the stream is fed (the rest), and it is also fed all at once.

#include "stream_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool holds)
{
    if (!holds)
        std::abort();
}

class recorder final : public stream_decoder::events {
public:
    void header(std::int32_t pid) override { seen.push_back("pid " + std::to_string(pid)); }
    void mixed(std::int32_t pid) override { seen.push_back("mixed " + std::to_string(pid)); }
    void command(std::string_view line, bool continued) override
    {
        check(line.find('\n') == std::string_view::npos);
        if (continued)
            seen.back() += line;
        else
            seen.push_back("cmd " + std::string{line});
    }
    void ending(stream_decoder::ending how) override
    {
        seen.emplace_back(how == stream_decoder::ending::clean ? "clean" : "vanished");
    }
    std::vector<std::string> seen;
};

// Each session takes 3 bytes of PID, a length byte and that many bytes of text (a NUL stands
// for the end marker). The model leaves out what a little-endian stream cannot tell: a newline
// in a header before its first NUL, and a session shorter than 3 bytes followed by another.
struct model {
    std::string stream;
    std::vector<std::string> events;

    model(std::string_view input, std::endian order)
    {
        bool mixed = false;
        while (input.size() >= 4) {
            std::array<char, 4> header{input[0], input[1], static_cast<char>(input[2] & 0x3f), 0};
            for (char& c : header) {
                if (c == '\0')
                    break;
                if (c == '\n')
                    c = 'N';
            }
            std::size_t const length = std::min<std::size_t>(input[3] & 0xff, input.size() - 4);
            std::string text;
            for (char const c : input.substr(4, length))
                text += c == '\0' ? std::string{"ctrld"} : std::string{c};
            input.remove_prefix(4 + length);
            bool const last = input.size() < 4;
            if (!last && text.size() < 3)
                text.append(3 - text.size(), 'x');

            // The header is made as a little-endian one and turned for the other order.
            std::int32_t const pid = static_cast<unsigned char>(header[0]) |
                                     static_cast<unsigned char>(header[1]) << 8 |
                                     static_cast<unsigned char>(header[2]) << 16;
            events.push_back((mixed ? "mixed " : "pid ") + std::to_string(pid));
            if (order == std::endian::big)
                std::reverse(header.begin(), header.end());
            stream.append(header.data(), header.size());
            stream += text;
            bool const clean = text.ends_with("ctrld");
            std::string_view body = text;
            if (clean)
                body.remove_suffix(5);
            for (std::size_t end; (end = body.find('\n')) != std::string_view::npos;
                 body.remove_prefix(end + 1))
                events.push_back("cmd " + std::string{body.substr(0, end)});
            if (!body.empty())
                events.push_back("cmd " + std::string{body});
            if (clean)
                events.emplace_back("clean");
            else if (last)
                events.emplace_back("vanished");
            else
                mixed = true;
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::endian const order = (data[0] & 0x80) != 0 ? std::endian::big : std::endian::little;
    std::size_t const piece = std::max(data[0] & 0x7f, 1);
    model const wanted{{reinterpret_cast<char const*>(data) + 1, size - 1}, order};

    recorder whole;
    stream_decoder at_once{whole, order};
    at_once.feed(wanted.stream);
    at_once.finish();
    check(whole.seen == wanted.events);

    recorder pieces;
    stream_decoder in_pieces{pieces, order};
    for (std::string_view rest = wanted.stream; !rest.empty();
         rest.remove_prefix(std::min(piece, rest.size())))
        in_pieces.feed(rest.substr(0, piece));
    in_pieces.finish();
    check(pieces.seen == whole.seen);
    return 0;
}

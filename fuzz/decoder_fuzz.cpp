// The stand-in server's decoder on streams of clients back to back, built from the input and
// checked against a model of what the stream says: each session's commands, clean when its text
// ends with "ctrld", and mixed from a header that comes before the session before it ended.
// The stream is fed in pieces of the size that the first byte chooses, and all at once.

#include "stream_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
// for the end marker). The model leaves out what the stream cannot tell: a newline in a
// header before its first NUL, and a session shorter than 3 bytes followed by another.
struct model {
    std::string stream;
    std::vector<std::string> events;

    explicit model(std::string_view input)
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

            std::int32_t pid;
            std::memcpy(&pid, header.data(), sizeof pid);
            events.push_back((mixed ? "mixed " : "pid ") + std::to_string(pid));
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
    std::size_t const piece = data[0] == 0 ? 1 : data[0];
    model const wanted{{reinterpret_cast<char const*>(data) + 1, size - 1}};

    recorder whole;
    stream_decoder at_once{whole};
    at_once.feed(wanted.stream);
    at_once.finish();
    check(whole.seen == wanted.events);

    recorder pieces;
    stream_decoder in_pieces{pieces};
    for (std::string_view rest = wanted.stream; !rest.empty();
         rest.remove_prefix(std::min(piece, rest.size())))
        in_pieces.feed(rest.substr(0, piece));
    in_pieces.finish();
    check(pieces.seen == whole.seen);
    return 0;
}

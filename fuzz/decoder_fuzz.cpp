// The stand-in server's decoder on arbitrary streams, fed in pieces of the size that the first
// byte chooses: it must see what it sees when fed all at once, and account for every byte.

#include "stream_decoder.hpp"

#include <algorithm>
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
    void header(std::int32_t pid) override { seen.push_back(std::to_string(pid)); }
    void command(std::string_view line) override
    {
        check(line.find('\n') == std::string_view::npos);
        seen.emplace_back(line);
        command_bytes += line.size();
    }
    std::vector<std::string> seen;
    std::size_t command_bytes = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::size_t const piece = data[0] == 0 ? 1 : data[0];
    std::string_view const stream{reinterpret_cast<char const*>(data) + 1, size - 1};

    recorder whole;
    stream_decoder at_once{whole};
    at_once.feed(stream);
    bool const clean = at_once.finish() == stream_decoder::ending::clean;

    recorder pieces;
    stream_decoder in_pieces{pieces};
    for (std::string_view rest = stream; !rest.empty();
         rest.remove_prefix(std::min(piece, rest.size())))
        in_pieces.feed(rest.substr(0, piece));
    check((in_pieces.finish() == stream_decoder::ending::clean) == clean);
    check(pieces.seen == whole.seen);

    check(!clean || (stream.size() >= 9 && stream.ends_with("ctrld")));
    if (stream.size() >= 4) {
        std::size_t const newlines =
            static_cast<std::size_t>(std::count(stream.begin() + 4, stream.end(), '\n'));
        check(4 + whole.command_bytes + newlines + (clean ? 5 : 0) == stream.size());
    } else {
        check(whole.seen.empty() && !clean);
    }
    return 0;
}

// decoder CORPUS: the server's stream decoder on the corpus, in memory, as one client's session
// and as 200 clients' sessions interleaved piece by piece, fed in reads of whole pieces of at most
// 64 KiB, as the server reads a pipe. Prints the best of 5 runs of each, in bytes per second of
// stream, and the commands that came out, as "one-client BYTES/S COMMANDS" and "crowd ...".

#include "stream_decoder.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

class counter final : public stream_decoder::events {
public:
    void connected(std::int32_t, bool) override {}
    void command(stream_decoder::client, std::string_view, bool) override { ++commands; }
    void ended(stream_decoder::client, bool) override {}
    long commands = 0;
};

std::string header(std::int32_t pid)
{
    return {reinterpret_cast<char const*>(&pid), sizeof pid};
}

// The pieces that clients write for these lines: 199 bytes at a time, or through the newline.
void add_pieces(std::vector<std::string>& pieces, std::string_view line)
{
    for (std::size_t at = 0; at < line.size(); at += stream_decoder::max_piece)
        pieces.emplace_back(line.substr(at, stream_decoder::max_piece));
}

// Reads of whole pieces, as the pipe gives them.
std::vector<std::string> reads_of(std::vector<std::string> const& pieces)
{
    std::vector<std::string> reads(1);
    for (auto const& piece : pieces) {
        if (reads.back().size() + piece.size() > 65536)
            reads.emplace_back();
        reads.back() += piece;
    }
    return reads;
}

void measure(char const* name, std::vector<std::string> const& reads)
{
    std::size_t bytes = 0;
    for (auto const& read : reads)
        bytes += read.size();
    double best = 1e9;
    long commands = 0;
    for (int run = 0; run < 5; ++run) {
        counter seen;
        auto const start = std::chrono::steady_clock::now();
        stream_decoder decoder{seen};
        for (auto const& read : reads) {
            decoder.feed(read);
            decoder.piece_end();
        }
        decoder.finish();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                            start)
                                  .count());
        commands = seen.commands;
    }
    std::printf("%s %.0f %ld\n", name, static_cast<double>(bytes) / best, commands);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::ifstream file{argv[1], std::ios::binary};
    std::string const corpus{std::istreambuf_iterator<char>{file}, {}};
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < corpus.size();) {
        std::size_t const end = corpus.find('\n', at) + 1;
        lines.push_back(std::string_view{corpus}.substr(at, end - at));
        at = end;
    }

    std::vector<std::string> one{header(123457)};
    for (auto const line : lines)
        add_pieces(one, line);
    one.emplace_back("ctrld");
    measure("one-client", reads_of(one));

    constexpr int clients = 200;
    std::vector<std::string> crowd;
    for (int c = 0; c < clients; ++c)
        crowd.push_back(header(4096 + c * 256));
    for (std::size_t n = 0; n < lines.size(); ++n)
        add_pieces(crowd, lines[n]);
    for (int c = 0; c < clients; ++c)
        crowd.emplace_back("ctrld");
    measure("crowd", reads_of(crowd));
    return 0;
}

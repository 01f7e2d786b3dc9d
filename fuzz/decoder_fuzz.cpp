// The stand-in server's decoder on what clients write when they share the FIFO: the input makes
// clients (ids, lines, a clean end or none), interleaves their writes as the pipe would, and
// groups them into reads. The decoder must find every header, in order, say which were mixed,
// and end every session once; with the reads' ends to go by, it must also give each attributed
// command to its own client, lose no byte of text and take none for a marker. It is also fed the
// input itself, which must do no harm.
// The first byte chooses the headers' byte order (its high bit). Lines hold the letter c only
// in "ctrld": typed as a line, or ending a last line or a long line's 199-byte piece. Those stay
// only where the decoder is promised to read them right, while one session is open, and where
// the client's next write follows; elsewhere they become "xtrld".

#include "stream_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
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
    void connected(std::int32_t pid, bool mixed) override { headers.emplace_back(pid, mixed); }
    void command(stream_decoder::client who, std::string_view line, bool partial) override
    {
        check(line.find('\n') == std::string_view::npos);
        check(!who.pid || !who.mixed);
        text_bytes += line.size();
        if (who.pid)
            said[*who.pid] += line;
        (void)partial;
    }
    void ended(stream_decoder::client who, bool clean) override
    {
        ++ends;
        clean_ends += clean ? 1 : 0;
        if (who.pid)
            ended_clean[*who.pid] = clean;
    }
    std::vector<std::pair<std::int32_t, bool>> headers;
    std::size_t text_bytes = 0;
    std::map<std::int32_t, std::string> said;
    std::size_t ends = 0;
    std::size_t clean_ends = 0;
    std::map<std::int32_t, bool> ended_clean;
};

// Takes bytes from the front of the input; zeros once it is used up.
class source {
public:
    explicit source(std::string_view input) : input_{input} {}
    unsigned byte()
    {
        if (input_.empty())
            return 0;
        auto const b = static_cast<unsigned char>(input_.front());
        input_.remove_prefix(1);
        return b;
    }
    [[nodiscard]] bool empty() const { return input_.empty(); }

private:
    std::string_view input_;
};

struct client {
    std::int32_t pid;
    std::vector<std::string> writes; // in order: header, command pieces, perhaps the marker
    std::string text;                // what the user typed, newlines left out
    bool clean;
};

constexpr std::string_view marker = "ctrld";

client make_client(source& in, std::endian order, std::vector<std::int32_t>& taken)
{
    client c{};
    std::uint32_t pid = in.byte() | in.byte() << 8 | (in.byte() & 0x3f) << 16;
    while (pid == 0 || std::ranges::find(taken, static_cast<std::int32_t>(pid)) != taken.end())
        pid = (pid + 1) & 0x3fffff;
    c.pid = static_cast<std::int32_t>(pid);
    taken.push_back(c.pid);
    std::string header(4, '\0');
    for (std::size_t n = 0; n < 4; ++n)
        header[order == std::endian::big ? 3 - n : n] = static_cast<char>(pid >> (8 * n));
    c.writes.push_back(header);
    unsigned const lines = in.byte() % 6;
    for (unsigned n = 0; n < lines; ++n) {
        std::size_t const length = in.byte() | (in.byte() & 1) << 8;
        std::string line;
        for (std::size_t k = 0; k < length; ++k) {
            char const b = static_cast<char>(in.byte());
            line += b == '\0' || b == '\n' || b == 'c' ? 'x' : b;
        }
        unsigned const ctrld = in.byte();
        if ((ctrld & 1) != 0)
            line = marker;
        if ((ctrld & 2) != 0 && line.size() >= marker.size())
            line.replace(line.size() - marker.size(), marker.size(), marker);
        if ((ctrld & 4) != 0 && line.size() >= stream_decoder::max_piece)
            line.replace(stream_decoder::max_piece - marker.size(), marker.size(), marker);
        bool const last_without_newline = n + 1 == lines && (in.byte() & 1) != 0;
        if (!last_without_newline)
            line += '\n';
        // As the console reads it: 199 bytes at a time, or through the newline.
        for (std::size_t at = 0; at < line.size(); at += stream_decoder::max_piece)
            c.writes.push_back(line.substr(at, stream_decoder::max_piece));
    }
    c.clean = (in.byte() & 1) != 0;
    if (c.clean)
        c.writes.emplace_back(marker);
    return c;
}

// Keeps "ctrld" in a command piece only while its session is the only one open and, where it
// ends the piece without a newline, only if the same client's next write comes next; then sets
// each client's text.
void keep_ctrld_where_readable(std::vector<client>& clients,
                               std::vector<std::size_t> const& order_of_writes)
{
    std::vector<std::size_t> next(clients.size(), 0);
    std::size_t open = 0;
    for (std::size_t w = 0; w < order_of_writes.size(); ++w) {
        client& c = clients[order_of_writes[w]];
        std::size_t const piece = next[order_of_writes[w]]++;
        std::string& bytes = c.writes[piece];
        bool const is_marker = c.clean && piece + 1 == c.writes.size();
        if (piece == 0 || is_marker) {
            open = piece == 0 ? open + 1 : open - 1;
            continue;
        }
        bool const followed =
            w + 1 < order_of_writes.size() && order_of_writes[w + 1] == order_of_writes[w];
        if (open != 1 || (!bytes.ends_with('\n') && !followed))
            std::ranges::replace(bytes, 'c', 'x');
    }
    for (client& c : clients) {
        for (std::size_t piece = 1; piece < c.writes.size() - (c.clean ? 1 : 0); ++piece) {
            std::string_view const bytes = c.writes[piece];
            c.text += bytes.substr(0, bytes.size() - (bytes.ends_with('\n') ? 1 : 0));
        }
    }
}

void feed_and_check(std::vector<client> const& clients,
                    std::vector<std::size_t> const& order_of_writes,
                    std::vector<bool> const& read_ends, std::endian order, bool by_reads)
{
    recorder seen;
    stream_decoder decoder{seen, order};
    std::vector<std::size_t> next(clients.size(), 0);
    std::vector<std::pair<std::int32_t, bool>> headers;
    std::size_t open = 0;
    bool mixed = false;
    for (std::size_t w = 0; w < order_of_writes.size(); ++w) {
        client const& c = clients[order_of_writes[w]];
        std::size_t const piece = next[order_of_writes[w]]++;
        std::string const& bytes = c.writes[piece];
        if (piece == 0) {
            mixed = mixed || open > 0;
            headers.emplace_back(c.pid, mixed);
            ++open;
        } else if (c.clean && piece + 1 == c.writes.size() && --open == 0) {
            mixed = false;
        }
        if (by_reads) {
            decoder.feed(bytes);
            if (read_ends[w])
                decoder.piece_end();
        } else {
            for (char const b : bytes)
                decoder.feed(std::string_view{&b, 1});
        }
    }
    decoder.finish();

    check(seen.headers == headers);
    check(seen.ends == clients.size());
    // Without the reads' ends, a last line with no newline runs into what follows it.
    if (!by_reads)
        return;
    std::size_t text_bytes = 0;
    std::size_t clean = 0;
    for (client const& c : clients) {
        text_bytes += c.text.size();
        clean += c.clean ? 1 : 0;
        // What was given to this client is its text, in order, as far as it went unmixed.
        check(c.text.starts_with(seen.said[c.pid]));
        if (auto const end = seen.ended_clean.find(c.pid); end != seen.ended_clean.end())
            check(end->second == c.clean);
    }
    check(seen.text_bytes == text_bytes);
    check(seen.clean_ends == clean);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    std::string_view const input{reinterpret_cast<char const*>(data), size};
    source in{input};
    std::endian const order = (in.byte() & 0x80) != 0 ? std::endian::big : std::endian::little;

    // Whatever the bytes, no harm and no newline in a command.
    recorder any;
    stream_decoder raw{any, order};
    raw.feed(input);
    raw.piece_end();
    raw.feed(input);
    raw.finish();

    std::vector<client> clients;
    std::vector<std::int32_t> taken;
    unsigned const count = 1 + in.byte() % 8;
    for (unsigned n = 0; n < count; ++n)
        clients.push_back(make_client(in, order, taken));
    // The pipe takes whole writes in any order that keeps each client's own.
    std::vector<std::size_t> remaining;
    std::size_t total = 0;
    for (client const& c : clients) {
        remaining.push_back(c.writes.size());
        total += c.writes.size();
    }
    std::vector<std::size_t> order_of_writes;
    std::vector<bool> read_ends;
    for (; total > 0; --total) {
        std::size_t pick = in.byte() % clients.size();
        while (remaining[pick] == 0)
            pick = (pick + 1) % clients.size();
        --remaining[pick];
        order_of_writes.push_back(pick);
        read_ends.push_back((in.byte() & 3) == 0 || total == 1);
    }
    keep_ctrld_where_readable(clients, order_of_writes);
    feed_and_check(clients, order_of_writes, read_ends, order, true);
    feed_and_check(clients, order_of_writes, read_ends, order, false);
    return 0;
}

#include "stream_decoder.hpp"

#include "channel_stream.hpp"
#include "printable.hpp"

#include <algorithm>
#include <cstring>

using channel_stream::end_marker;

void stream_decoder::feed(std::span<const char> bytes)
{
    for (char const c : bytes)
        take(c);
}

void stream_decoder::take(char c)
{
    switch (state_) {
    case state::text:
        if (c != '\0') {
            text(c);
            return;
        }
        if (order_ == std::endian::little) {
            std::copy_n(recent_.begin(), recent_len_, window_.begin());
            nul_at_ = recent_len_;
            window_[nul_at_] = c;
            window_len_ = nul_at_ + 1;
            state_ = state::header_tail;
            return;
        }
        // Big-endian: the NUL is the header's first byte, and all that came before it was text.
        end_session();
        header_len_ = 0;
        state_ = state::header;
        [[fallthrough]];
    case state::header:
        header_[header_len_++] = c;
        if (header_len_ == header_.size()) {
            announce(header_);
            state_ = state::text;
        }
        return;
    case state::header_tail:
        window_[window_len_++] = c;
        if (window_len_ == nul_at_ + 4)
            start_header();
        return;
    }
}

void stream_decoder::text(char c)
{
    if (recent_len_ == recent_.size())
        std::copy(recent_.begin() + 1, recent_.end(), recent_.begin());
    else
        ++recent_len_;
    recent_[recent_len_ - 1] = c;
    if (c == '\n') {
        sink_.command({line_.data(), line_len_}, continued_);
        line_len_ = 0;
        continued_ = false;
        return;
    }
    if (line_len_ == line_.size()) {
        // Keep the tail that may be the start of the end marker, and cut between characters.
        std::size_t cut = line_len_ - (end_marker.size() - 1);
        for (int back = 0; back < 3 && printable::continuation(line_[cut]); ++back)
            --cut;
        sink_.command({line_.data(), cut}, continued_);
        continued_ = true;
        std::memmove(line_.data(), line_.data() + cut, line_len_ - cut);
        line_len_ -= cut;
    }
    line_[line_len_++] = c;
}

// A new header has begun: without the marker, the client before may still be writing, and the
// stream is mixed from here.
void stream_decoder::end_session()
{
    if (last_line())
        sink_.ending(ending::clean);
    else
        mixed_ = true;
}

// Little-endian: the header's last byte is the last NUL of the window, since the text that
// follows it holds none, and the three bytes before that NUL are the header's others.
void stream_decoder::start_header()
{
    std::size_t end = window_len_ - 1;
    while (window_[end] != '\0')
        --end;
    std::size_t const start = end >= 3 ? end - 3 : 0;
    // The header's bytes before the NUL came as the last text bytes: they are not a command.
    std::size_t const before = nul_at_ - start;
    line_len_ -= std::min(before, line_len_);
    end_session();

    std::array<char, 4> header{};
    std::copy(window_.begin() + static_cast<std::ptrdiff_t>(start),
              window_.begin() + static_cast<std::ptrdiff_t>(end) + 1,
              header.end() - static_cast<std::ptrdiff_t>(end + 1 - start));
    announce(header);

    state_ = state::text;
    for (std::size_t at = end + 1; at < window_len_; ++at)
        text(window_[at]);
}

void stream_decoder::announce(std::span<const char, 4> header)
{
    std::uint32_t value = 0;
    for (std::size_t n = 0; n < header.size(); ++n) {
        std::size_t const at = order_ == std::endian::big ? n : header.size() - 1 - n;
        value = value << 8 | static_cast<unsigned char>(header[at]);
    }
    auto const pid = static_cast<std::int32_t>(value);
    if (mixed_)
        sink_.mixed(pid);
    else
        sink_.header(pid);
}

// Hands over the line in hand, less the end marker if it ends with one; true if it did.
bool stream_decoder::last_line()
{
    std::string_view line{line_.data(), line_len_};
    bool const clean = line.ends_with(end_marker);
    if (clean)
        line.remove_suffix(end_marker.size());
    if (!line.empty())
        sink_.command(line, continued_);
    line_len_ = 0;
    continued_ = false;
    return clean;
}

void stream_decoder::finish()
{
    if (state_ == state::header_tail)
        start_header();
    // A writer that sent nothing at all was no client.
    if (state_ == state::header && header_len_ == 0)
        return;
    sink_.ending(last_line() ? ending::clean : ending::vanished);
}

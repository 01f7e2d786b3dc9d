#include "stream_decoder.hpp"

#include "channel_stream.hpp"
#include "printable.hpp"

#include <algorithm>
#include <cstring>

using channel_stream::end_marker;

namespace {

constexpr std::size_t header_size = 4;
// A run of NULs that no headers can cover: no client sent it.
constexpr std::size_t no_header = SIZE_MAX;

} // namespace

void stream_decoder::feed(std::span<const char> bytes)
{
    while (!bytes.empty()) {
        std::size_t const n = std::min(bytes.size(), bytes_.size() - bytes_len_);
        std::copy_n(bytes.begin(), n, bytes_.begin() + static_cast<std::ptrdiff_t>(bytes_len_));
        bytes_len_ += n;
        bytes = bytes.subspan(n);
        decide(false);
    }
}

void stream_decoder::piece_end()
{
    decide(true);
    settle(cut::read);
}

bool stream_decoder::waiting() const
{
    return open_ == 1 && std::string_view{line_.data(), line_len_}.ends_with(end_marker);
}

void stream_decoder::quiet()
{
    decide(true);
    settle(cut::quiet);
}

void stream_decoder::stop()
{
    decide(true);
    settle(cut::stop);
}

void stream_decoder::finish()
{
    decide(true);
    settle(cut::end);
}

// Decides what the bytes in hand are, as far as the bytes after them tell, and keeps the rest.
void stream_decoder::decide(bool piece_ends)
{
    std::string_view const all{bytes_.data(), bytes_len_};
    // A run of NULs is decided before it is seen whole only when nothing more fits in.
    bool const whole = piece_ends || bytes_len_ == bytes_.size();
    std::size_t at = 0;
    while (at < all.size()) {
        std::string_view const rest = all.substr(at);
        std::size_t const nul = rest.find('\0');
        if (nul == std::string_view::npos) {
            // Until a piece ends, the last three bytes may start a header whose NUL is to come.
            std::size_t const sure =
                piece_ends ? rest.size() : rest.size() - std::min<std::size_t>(rest.size(), 3);
            at += text(rest.substr(0, sure), piece_ends);
            break;
        }
        // A header holding this NUL starts at most three bytes before it.
        std::size_t const lead = nul >= 3 ? nul - 3 : 0;
        auto const start = first_header(rest.substr(lead), nul - lead, whole);
        if (!start) {
            at += text(rest.substr(0, lead), false);
            break;
        }
        std::size_t const header_at = *start == no_header ? nul : lead + *start;
        at += text(rest.substr(0, header_at), true);
        if (*start == no_header) {
            ++at;
            continue;
        }
        connect(*header(rest.substr(header_at, header_size)));
        at += header_size;
    }
    std::memmove(bytes_.data(), bytes_.data() + at, bytes_len_ - at);
    bytes_len_ -= at;
}

// Where, in bytes whose first NUL is at nul (at most 3 bytes in), the first header starts;
// nothing while the bytes in hand cannot tell yet, no_header if no headers cover the NULs.
std::optional<std::size_t> stream_decoder::first_header(std::string_view bytes, std::size_t nul,
                                                        bool whole)
{
    if (order_ == std::endian::big) {
        // The header's most significant byte comes first: the NUL starts it.
        if (bytes.size() < nul + header_size)
            return whole ? std::optional{no_header} : std::nullopt;
        return header(bytes.substr(nul, header_size)) ? nul : no_header;
    }
    // Little-endian, the NUL may be any byte of its header. The run of NULs ends at a NUL that no
    // other follows within three bytes: a header there can only end at a NUL of the run, and
    // exactly one way of covering the run by headers, if any, is left.
    std::size_t last = nul;
    for (std::size_t at = nul + 1; at < bytes.size() && at <= last + 3; ++at) {
        if (bytes[at] == '\0')
            last = at;
    }
    if (last + 3 >= bytes.size() && !whole)
        return std::nullopt;
    std::size_t const end = last + 1;
    mark_covers(bytes, end);
    for (std::size_t start = 0; start <= nul; ++start) {
        if (starts_cover(bytes, start, end))
            return start;
    }
    return no_header;
}

// covers_[at] for each position of bytes up to end, the end of a run of NULs: whether headers
// can cover every NUL from at to end, the bytes between them being text.
void stream_decoder::mark_covers(std::string_view bytes, std::size_t end)
{
    covers_[end] = true;
    std::size_t next_nul = end;
    for (std::size_t at = end; at-- > 0;) {
        if (bytes[at] == '\0')
            next_nul = at;
        bool covered = next_nul == end;
        for (std::size_t start = std::max(at, next_nul >= 3 ? next_nul - 3 : 0);
             !covered && start <= next_nul; ++start)
            covered = starts_cover(bytes, start, end);
        covers_[at] = covered;
    }
}

// Whether a header starts at start, before end, and leaves the rest up to end coverable.
bool stream_decoder::starts_cover(std::string_view bytes, std::size_t start, std::size_t end) const
{
    return start + header_size <= end && header(bytes.substr(start, header_size)) &&
           covers_[start + header_size];
}

// The process id in a header, if the 4 bytes can be one: above 0 and below 2^22.
std::optional<std::int32_t> stream_decoder::header(std::string_view bytes) const
{
    std::uint32_t value = 0;
    for (std::size_t n = 0; n < header_size; ++n) {
        std::size_t const at = order_ == std::endian::big ? n : header_size - 1 - n;
        value = value << 8 | static_cast<unsigned char>(bytes[at]);
    }
    if (value == 0 || value >= 1U << 22)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// Takes bytes that hold no header byte as text and returns how many it took: all, but where
// what follows must be seen first.
std::size_t stream_decoder::text(std::string_view bytes, bool piece_follows)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t const took = take(bytes.substr(at), piece_follows);
        if (took == 0)
            break;
        at += took;
    }
    return at;
}

// Text in a session, and how much of it was taken: whole lines while one session is open; while
// several are, a piece at a time, ended by a newline, by the 199-byte limit, or by an end marker
// of whichever client, which runs into the pieces around it.
std::size_t stream_decoder::take(std::string_view bytes, bool piece_follows)
{
    if (open_ == 0) {
        // A writer's text before any header: a client whose id is not known.
        open_ = 1;
        pid_.reset();
    }
    if (open_ == 1) {
        for (std::string_view rest = bytes; !rest.empty();) {
            std::size_t const newline = rest.find('\n');
            std::string_view const part = rest.substr(0, newline);
            append(part);
            line_bytes_ += part.size();
            if (newline == std::string_view::npos)
                break;
            hand_over({line_.data(), line_len_}, false);
            line_len_ = 0;
            line_bytes_ = 0;
            rest.remove_prefix(newline + 1);
        }
        return bytes.size();
    }
    // The piece ends at its newline or at the 199-byte limit, unless an end marker starts before,
    // which may run past the limit after a shorter last line. "ctrld" is taken for an end marker
    // wherever it stands: a line typed so while another client is connected is far rarer than a
    // marker followed by another client's empty line.
    std::size_t const room = max_piece - line_len_;
    std::size_t const newline = bytes.substr(0, room).find('\n');
    std::size_t const end =
        newline == std::string_view::npos ? std::min(room, bytes.size()) : newline + 1;
    std::size_t const marker = bytes.substr(0, end + end_marker.size() - 1).find(end_marker);
    // The last bytes, where they start "ctrld", wait for the rest.
    std::size_t wait = std::string_view::npos;
    for (std::size_t at = bytes.size() - std::min(bytes.size(), end_marker.size() - 1);
         !piece_follows && at < end && wait == std::string_view::npos; ++at) {
        if (end_marker.starts_with(bytes.substr(at)))
            wait = at;
    }
    std::size_t const taken = std::min({marker, wait, end});
    std::copy_n(bytes.begin(), taken, line_.begin() + static_cast<std::ptrdiff_t>(line_len_));
    line_len_ += taken;
    if (taken == marker && marker < end) {
        if (line_len_ > 0)
            hand_over({line_.data(), line_len_}, false);
        end_sessions(1, true);
        return marker + end_marker.size();
    }
    if (taken == end && (newline != std::string_view::npos || line_len_ == max_piece)) {
        bool const whole_line = newline != std::string_view::npos;
        hand_over({line_.data(), line_len_ - (whole_line ? 1 : 0)}, !whole_line);
        line_len_ = 0;
    }
    return taken;
}

// Adds to the line in hand; a line longer than the decoder holds is handed over in parts.
void stream_decoder::append(std::string_view bytes)
{
    while (!bytes.empty()) {
        if (line_len_ == line_.size()) {
            // Keep the tail that may be the start of the end marker, and cut between characters.
            std::size_t cut = line_len_ - (end_marker.size() - 1);
            for (int back = 0; back < 3 && printable::continuation(line_[cut]); ++back)
                --cut;
            hand_over({line_.data(), cut}, true);
            std::memmove(line_.data(), line_.data() + cut, line_len_ - cut);
            line_len_ -= cut;
        }
        std::size_t const length = std::min(bytes.size(), line_.size() - line_len_);
        std::copy_n(bytes.begin(), length, line_.begin() + static_cast<std::ptrdiff_t>(line_len_));
        line_len_ += length;
        bytes.remove_prefix(length);
    }
}

// A piece has ended with what is in hand: at the end of a read, before a header, or at end of
// file.
void stream_decoder::settle(cut at)
{
    std::string_view hand{line_.data(), line_len_};
    if (open_ == 0)
        return;
    if (open_ > 1) {
        // A piece without its newline: the last line of a client, or a part of a long one.
        if (!hand.empty())
            hand_over(hand, false);
        line_len_ = 0;
        if (at == cut::end)
            end_sessions(open_, false);
        return;
    }
    // One session: a piece that ends in "ctrld" is its end marker, or the end of a last line or
    // of 199 bytes of a long one, typed with those letters there. At the end of a read, the next
    // one tells: more text goes on with the line; "ctrld" alone was the line's, then the marker.
    bool const marker = at != cut::read && hand.ends_with(end_marker);
    if (marker)
        hand.remove_suffix(end_marker.size());
    if (marker || at == cut::end) {
        // A line handed over in parts ends with its last, even an empty one.
        if (!hand.empty() || line_bytes_ > line_len_)
            hand_over(hand, false);
        end_sessions(1, marker);
    } else if ((at == cut::header || at == cut::stop) && !hand.empty()) {
        // Another client's header: the text in hand is a piece of its own, and a long line's
        // 199 bytes go on later. A reader that stops cannot tell whether the line goes on.
        hand_over(hand, at == cut::stop || line_bytes_ % max_piece == 0);
        line_len_ = 0;
    }
}

void stream_decoder::connect(std::int32_t pid)
{
    settle(cut::header);
    mixed_ = open_ > 0;
    pid_ = mixed_ ? std::nullopt : std::optional{pid};
    ++open_;
    sink_.connected(pid, mixed_);
}

void stream_decoder::hand_over(std::string_view line, bool partial)
{
    sink_.command(who(), line, partial);
}

void stream_decoder::end_sessions(std::size_t count, bool clean)
{
    for (std::size_t n = 0; n < count; ++n)
        sink_.ended(who(), clean);
    open_ -= count;
    line_len_ = 0;
    line_bytes_ = 0;
    if (open_ == 0) {
        mixed_ = false;
        pid_.reset();
    }
}

#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Splits what comes on the FIFO between one opening and end of file into the clients' sessions:
// each a PID header, command lines, and the end marker "ctrld" when the client ended cleanly.
// Several clients may share one stream. A client never sends a NUL byte and every header holds
// one: process ids are below 2^22, so a header's most significant byte is 0. That is its last
// byte in little-endian order and its first in big-endian order. A header before the session
// before it has ended makes the rest of the stream mixed, since the client before may still be
// writing.
class stream_decoder {
public:
    enum class ending { clean, vanished };

    class events {
    public:
        virtual void header(std::int32_t pid) = 0;
        // A header that came before the session before it had ended.
        virtual void mixed(std::int32_t pid) = 0;
        // A command line without its newline. A line longer than the decoder holds comes in
        // pieces, cut between characters; each piece after the first is marked continued.
        virtual void command(std::string_view line, bool continued) = 0;
        virtual void ending(stream_decoder::ending how) = 0;

    protected:
        ~events() = default;
    };

    // order: the byte order of the clients' headers, which is that of their machine.
    explicit stream_decoder(events& sink, std::endian order = std::endian::native)
        : sink_{sink}, order_{order}
    {
    }

    void feed(std::span<const char> bytes);
    // At end of file: hands over the last line if it had no newline and how the stream ended
    // (nothing for a stream with no byte at all). A decoder serves one stream.
    void finish();

private:
    void take(char c);
    void text(char c);
    void end_session();
    void start_header();
    void announce(std::span<const char, 4> header);
    bool last_line();

    enum class state { text, header, header_tail };

    events& sink_;
    std::endian order_;
    state state_ = state::header;
    bool mixed_ = false;
    std::array<char, 4> header_{};
    std::size_t header_len_ = 0;
    // Little-endian, where a header's NUL is its last byte: the last text bytes, which may be the
    // start of the next header.
    std::array<char, 3> recent_{};
    std::size_t recent_len_ = 0;
    // A NUL in the text, the bytes before it that may belong to its header, and the three after.
    std::array<char, 7> window_{};
    std::size_t window_len_ = 0;
    std::size_t nul_at_ = 0;
    std::array<char, 4096> line_{};
    std::size_t line_len_ = 0;
    bool continued_ = false;
};

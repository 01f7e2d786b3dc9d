#pragma once

#include <array>
#include <bit>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Splits what comes on the FIFO between one opening and end of file into the clients' sessions:
// each a PID header, command pieces, and the end marker "ctrld" when the client ended cleanly.
// Clients that share the FIFO share the stream, piece by piece: every piece is one write of less
// than PIPE_BUF bytes, so pieces never tear, but those of clients writing at once interleave.
//
// What the decoder relies on: a header is 4 bytes whose most significant byte is 0 and the byte
// below it under 0x40 (process ids are below 2^22), and never all 0; no other piece holds a NUL;
// a command piece holds 1 to 199 bytes, a newline only as its last; the end marker is the piece
// "ctrld". So every NUL lies in a header. Where the three low bytes of headers hold NULs too, the
// headers are the only way to cover every NUL of a run of them, and that way is found; it is the
// only one as soon as the run is followed by three bytes without a NUL, or by a piece's end.
//
// While one session is open, its commands are its client's. A header that comes while one is
// open makes the stream mixed: nothing says whose a command or an end marker is, until as many end
// markers as headers have come and the next header starts an attributed session again.
//
// How many sessions are open decides how text is read. With one, its pieces come in order, so
// lines are whole and "ctrld" at a piece's end is the marker; but a read may end between a last
// line that ends in those letters and the marker, so the decoder waits for what follows. With
// several, pieces interleave, and "ctrld" ends one of them wherever it stands.
class stream_decoder {
public:
    // Whose a command or an end is: the client's id while its session is the only one open;
    // none in a mixed stream, or for a writer that sent no header.
    struct client {
        std::optional<std::int32_t> pid;
        bool mixed = false;
    };

    class events {
    public:
        // A client's header. mixed: another session was open, so commands cannot be told apart.
        virtual void connected(std::int32_t pid, bool mixed) = 0;
        // A command line without its newline. partial: the line may go on in a later command (a
        // line longer than the decoder holds; a mixed stream's 199-byte piece, or a lone line that
        // another client's header cuts after a multiple of 199 bytes, whose rest other pieces may
        // come before; or the text in hand when the reader stops).
        virtual void command(client who, std::string_view line, bool partial) = 0;
        // A session's end: clean by its end marker, or not when the stream ended without one.
        virtual void ended(client who, bool clean) = 0;

    protected:
        ~events() = default;
    };

    // order: the byte order of the clients' headers, which is that of their machine.
    explicit stream_decoder(events& sink, std::endian order = std::endian::native)
        : sink_{sink}, order_{order}
    {
    }

    void feed(std::span<const char> bytes);
    // The bytes fed so far end with a whole piece. So does a read from a pipe that returned less
    // than it asked for, since a write of at most PIPE_BUF bytes reaches the pipe whole: the
    // decoder then decides at once what waited on the bytes after it, but for a trailing "ctrld".
    void piece_end();
    // Whether a lone session's text ends in "ctrld": its end marker, unless more of its line
    // follows. Nothing else waits on what comes next.
    [[nodiscard]] bool waiting() const;
    // Nothing has come for a while: the bytes fed end with a whole piece, and a trailing "ctrld"
    // is the end marker, since a client writes its marker right after its last line.
    void quiet();
    // The reader stops before end of file: as quiet(), and the text in hand is handed over as
    // partial, since its line may go on. The sessions still open get no end.
    void stop();
    // At end of file: the last line and how the open sessions ended (nothing for a stream with no
    // byte at all). A decoder serves one stream.
    void finish();

    // What a piece holds at most, and what the decoder holds of a line before it hands it over in
    // parts.
    static constexpr std::size_t max_piece = 199;
    static constexpr std::size_t max_line = 4096;

private:
    // The bytes fed and not yet decided; a run of NULs is decided once it is whole in here.
    static constexpr std::size_t window = 4096;
    // Where a piece ends: at the end of a read, before a header, after a silence, where the
    // reader stops, at end of file.
    enum class cut { read, header, quiet, stop, end };

    void decide(bool piece_ends);
    std::optional<std::size_t> first_header(std::string_view bytes, std::size_t nul, bool whole);
    void mark_covers(std::string_view bytes, std::size_t end);
    [[nodiscard]] bool starts_cover(std::string_view bytes, std::size_t start,
                                    std::size_t end) const;
    [[nodiscard]] std::optional<std::int32_t> header(std::string_view bytes) const;
    std::size_t text(std::string_view bytes, bool piece_follows);
    std::size_t take(std::string_view bytes, bool piece_follows);
    void append(std::string_view bytes);
    void settle(cut at);
    void connect(std::int32_t pid);
    void hand_over(std::string_view line, bool partial);
    void end_sessions(std::size_t count, bool clean);
    [[nodiscard]] client who() const { return {mixed_ ? std::nullopt : pid_, mixed_}; }

    events& sink_;
    std::endian order_;
    std::array<char, window> bytes_{};
    std::size_t bytes_len_ = 0;
    // Sessions open: headers, and a writer's text that came while none was, less end markers.
    std::size_t open_ = 0;
    // Sessions overlapped since none was last open: even with one left, nobody knows whose.
    bool mixed_ = false;
    std::optional<std::int32_t> pid_;
    // The text in hand: the line so far of the one open session, or while several are open the
    // piece so far. line_bytes_ counts the whole line, parts handed over included.
    std::array<char, max_line> line_{};
    std::size_t line_len_ = 0;
    std::size_t line_bytes_ = 0;
    // Which positions of a run of NULs can start a cover of the rest by headers.
    std::bitset<window + 1> covers_;
};

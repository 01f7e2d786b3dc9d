#pragma once

#include "stream_decoder.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// What the server prints on standard output: one line per event, each written at once, as soon
// as the event is known.
class output : public stream_decoder::events {
public:
    // The first line: where the server waits for clients.
    virtual void listening(std::string_view path) = 0;
    // The errno of the first refused write, 0 if there was none; nothing is written after one.
    [[nodiscard]] int write_error() const { return write_error_; }

protected:
    ~output() = default;
    void put(std::span<const char> line);

private:
    int write_error_ = 0;
};

// For people, in French: "client 4242 : ls -la". A line is at most PIPE_BUF bytes, so that it is
// never torn, not even with other writers on the same pipe: a longer text goes on in lines marked
// "(suite)". Text from outside is escaped for a terminal.
class plain_output final : public output {
public:
    void listening(std::string_view path) override;
    void connected(std::int32_t pid, bool mixed) override;
    void command(stream_decoder::client who, std::string_view line, bool partial) override;
    void ended(stream_decoder::client who, bool clean) override;

private:
    // The last command was partial: the next one goes on with it.
    bool continued_ = false;
};

// For programs: JSON Lines (RFC 8259 objects, valid UTF-8, one a line).
//   {"event":"listening","path":"/tmp/d/canal"}
//   {"event":"connected","pid":4242,"mixed":false}
//   {"event":"command","pid":4242,"line":"ls -la"}, "pid":null where the stream cannot say
//   whose, and "partial":true where the line goes on in a later command
//   {"event":"end","pid":4242,"clean":true}
// Text that is not UTF-8 goes in "line_base64" or "path_base64" instead, so that every byte
// comes back.
class json_output final : public output {
public:
    void listening(std::string_view path) override;
    void connected(std::int32_t pid, bool mixed) override;
    void command(stream_decoder::client who, std::string_view line, bool partial) override;
    void ended(stream_decoder::client who, bool clean) override;

private:
    json_output& raw(std::string_view text);
    json_output& number(std::int32_t value);
    json_output& pid(stream_decoder::client who);
    json_output& text(std::string_view name, std::string_view value);
    json_output& escaped(std::string_view text);
    json_output& base64(std::string_view bytes);
    void put_line();

    // A command line (the decoder hands over at most max_line bytes) or a path (the server stops
    // before it prints one longer than PATH_MAX, which it cannot make or open), each byte escaped
    // to at most 6, and the rest of the object.
    std::array<char, 6 * std::max<std::size_t>(stream_decoder::max_line, PATH_MAX) + 128> line_;
    std::size_t len_ = 0;
};

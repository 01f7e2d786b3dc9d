#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

// Splits one client's stream into its PID header and command lines, and tells at end of file
// whether the client ended cleanly: its stream then ends with the marker "ctrld", which is never
// followed by a newline, so a typed line "ctrld" stays a command.
class stream_decoder {
public:
    class events {
    public:
        virtual void header(std::int32_t pid) = 0;
        // A command line without its newline; a line longer than the decoder holds comes in pieces.
        virtual void command(std::string_view line) = 0;

    protected:
        ~events() = default;
    };

    enum class ending { clean, vanished };

    explicit stream_decoder(events& sink) : sink_{sink} {}

    void feed(std::span<const char> bytes);
    // At end of file: hands over the last line if it had no newline and says how the client ended.
    ending finish();

private:
    void take(char c);

    events& sink_;
    std::array<char, 4> header_{};
    std::size_t header_len_ = 0;
    std::array<char, 4096> line_{};
    std::size_t line_len_ = 0;
};

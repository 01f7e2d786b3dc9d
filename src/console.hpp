#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

// The user's side of a run: texts out on one descriptor, command reads in on another, both
// through fixed buffers. Output is held back until the console is about to wait for input, so
// every prompt is out before the client blocks, yet input from a file costs no write per line.
// The buffers are large for a stack: a console is meant to live in static storage.
class console {
public:
    // A read stores at most this many bytes of input, as a 200-byte C string buffer would.
    static constexpr std::size_t max_read = 199;

    // Not constexpr: a static console is then set up when the run starts, and its buffers stay
    // zeros in .bss instead of being stored in the program file.
    console(int in, int out);

    // Texts are the client's own, each far smaller than the output buffer.
    void print(std::string_view text);

    // One console read: input up to and including the first newline, or max_read bytes, or
    // what is left at end of input, with its NUL bytes taken out (so it may come back empty).
    // Returns nothing once input has ended; end of input is final, it is not waited for again.
    std::optional<std::span<const char>> read_command();

    // Writes out what was printed; false once standard output has refused text.
    bool flush();

    // The errno of a failed read of the input or write of the output, 0 if there was none.
    [[nodiscard]] int read_error() const { return read_error_; }
    [[nodiscard]] int write_error() const { return write_error_; }

private:
    void fill();

    int in_fd_;
    int out_fd_;
    int read_error_ = 0;
    int write_error_ = 0;
    bool input_ended_ = false;
    std::size_t in_start_ = 0;
    std::size_t in_end_ = 0;
    std::size_t out_len_ = 0;
    std::array<char, 65536> in_{};
    std::array<char, 16384> out_{};
};

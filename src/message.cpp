#include "message.hpp"

#include "printable.hpp"
#include "write_all.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <span>
#include <unistd.h>

namespace {

// Gathers a message and writes it out whenever the buffer is full: one write for any message
// that fits in PIPE_BUF, the most that a pipe keeps from mixing with other writers.
class message_writer {
public:
    message_writer& operator<<(std::string_view part)
    {
        while (!part.empty()) {
            std::size_t const n = std::min(part.size(), room().size());
            std::memcpy(room().data(), part.data(), n);
            length_ += n;
            part.remove_prefix(n);
            make_room(0);
        }
        return *this;
    }
    message_writer& escaped(std::string_view text)
    {
        while (!text.empty()) {
            length_ += printable::escape(text, room());
            make_room(printable::widest);
        }
        return *this;
    }
    void flush()
    {
        write_all(STDERR_FILENO, std::span{buffer_.data(), length_});
        length_ = 0;
    }

private:
    std::span<char> room() { return std::span{buffer_}.subspan(length_); }
    // Writes out what is gathered unless more than `wanted` bytes are free: a character is
    // escaped whole or not at all.
    void make_room(std::size_t wanted)
    {
        if (room().size() <= wanted)
            flush();
    }

    std::array<char, PIPE_BUF> buffer_;
    std::size_t length_ = 0;
};

} // namespace

int report(std::string_view program, std::string_view what, std::string_view reason)
{
    static message_writer message;
    (message << program << ": ").escaped(what) << ": " << reason << "\n";
    message.flush();
    return 1;
}

int report_error(std::string_view program, std::string_view what, int err)
{
    return report(program, what, std::strerror(err));
}

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
            if (room().empty())
                flush();
            std::size_t const n = std::min(part.size(), room().size());
            std::memcpy(room().data(), part.data(), n);
            length_ += n;
            part.remove_prefix(n);
        }
        return *this;
    }
    // A character is escaped whole or not at all: what does not fit goes after a flush.
    message_writer& escaped(std::string_view text)
    {
        for (;;) {
            length_ += printable::escape(text, room());
            if (text.empty())
                return *this;
            flush();
        }
    }
    void flush()
    {
        write_all(STDERR_FILENO, std::span{buffer_.data(), length_});
        length_ = 0;
    }

private:
    std::span<char> room() { return std::span{buffer_}.subspan(length_); }

    std::array<char, PIPE_BUF> buffer_{};
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

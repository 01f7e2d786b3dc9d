#include "console.hpp"

#include "write_all.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

console::console(int in, int out) : in_fd_{in}, out_fd_{out} {}

void console::print(std::string_view text)
{
    if (out_len_ + text.size() > out_.size() && !flush())
        return;
    std::memcpy(out_.data() + out_len_, text.data(), text.size());
    out_len_ += text.size();
}

bool console::flush()
{
    if (write_error_ == 0 && !write_all(out_fd_, std::span{out_.data(), out_len_}))
        write_error_ = errno;
    out_len_ = 0;
    return write_error_ == 0;
}

std::optional<std::span<const char>> console::read_command()
{
    std::size_t length = 0;
    for (;;) {
        std::size_t const pending = in_end_ - in_start_;
        std::size_t const window = std::min(pending, max_read);
        auto const* newline =
            static_cast<char const*>(std::memchr(in_.data() + in_start_, '\n', window));
        if (newline != nullptr) {
            length = static_cast<std::size_t>(newline - (in_.data() + in_start_)) + 1;
            break;
        }
        if (window == max_read || (input_ended_ && pending > 0)) {
            length = window;
            break;
        }
        if (input_ended_)
            return std::nullopt;
        fill();
    }
    char* const first = in_.data() + in_start_;
    in_start_ += length;
    char* last = first + length;
    if (std::memchr(first, '\0', length) != nullptr)
        last = std::remove(first, last, '\0');
    return std::span<const char>{first, last};
}

void console::fill()
{
    if (in_start_ == in_end_) {
        in_start_ = in_end_ = 0;
    } else if (in_.size() - in_end_ < max_read) {
        std::memmove(in_.data(), in_.data() + in_start_, in_end_ - in_start_);
        in_end_ -= in_start_;
        in_start_ = 0;
    }
    flush();
    for (;;) {
        ssize_t const n = read(in_fd_, in_.data() + in_end_, in_.size() - in_end_);
        if (n > 0) {
            in_end_ += static_cast<std::size_t>(n);
            return;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd ready{in_fd_, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (n < 0)
            read_error_ = errno;
        input_ended_ = true;
        return;
    }
}

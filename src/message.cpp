#include "message.hpp"

#include "printable.hpp"
#include "write_all.hpp"

#include <array>
#include <cstring>
#include <span>
#include <unistd.h>

namespace {
// The longest single argument that Linux passes to a program (MAX_ARG_STRLEN).
constexpr std::size_t longest_argument = std::size_t{32} * 4096;
constexpr std::size_t room_for_the_rest = 1024;
} // namespace

int report(std::string_view program, std::string_view what, std::string_view reason)
{
    static std::array<char, longest_argument * printable::widest + room_for_the_rest> message;
    std::size_t length = 0;
    auto const append = [&](std::string_view part) {
        part = part.substr(0, message.size() - length);
        std::memcpy(message.data() + length, part.data(), part.size());
        length += part.size();
    };
    append(program);
    append(": ");
    length += printable::escape(
        what, std::span{message}.subspan(length, message.size() - length - room_for_the_rest));
    append(": ");
    append(reason.substr(0, room_for_the_rest / 2));
    append("\n");
    write_all(STDERR_FILENO, std::span{message.data(), length});
    return 1;
}

int report_error(std::string_view program, std::string_view what, int err)
{
    return report(program, what, std::strerror(err));
}

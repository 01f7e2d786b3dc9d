// Console reads of arbitrary input, checked against how a 200-byte line read splits it: each
// read takes through the first newline or 199 bytes, whichever comes first, less its NULs.

#include "console.hpp"
#include "write_all.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace {
void check(bool holds)
{
    if (!holds)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    static int const null = open("/dev/null", O_WRONLY);
    std::string_view rest{reinterpret_cast<char const*>(data), size};
    int const in = memfd_create("input", 0);
    check(in >= 0 && write_all(in, rest) && lseek(in, 0, SEEK_SET) == 0);

    auto con = std::make_unique<console>(in, null);
    while (auto const command = con->read_command()) {
        std::size_t take = std::min(rest.size(), console::max_read);
        if (auto const newline = rest.substr(0, take).find('\n'); newline != std::string_view::npos)
            take = newline + 1;
        check(take > 0);
        std::string wanted;
        for (char const c : rest.substr(0, take))
            if (c != '\0')
                wanted += c;
        check(std::string_view{command->data(), command->size()} == wanted);
        rest.remove_prefix(take);
    }
    check(rest.empty() && con->read_error() == 0);
    close(in);
    return 0;
}

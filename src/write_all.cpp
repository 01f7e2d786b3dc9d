#include "write_all.hpp"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

bool write_all(int fd, std::span<const char> bytes)
{
    while (!bytes.empty()) {
        ssize_t const n = write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        } else if (n == 0) {
            errno = EIO;
            return false;
        } else if (errno == EAGAIN) {
            pollfd ready{fd, POLLOUT, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

#pragma once

#include <span>

// Writes every byte to fd, resuming after short writes and EINTR and waiting out EAGAIN on a
// descriptor that someone left non-blocking. Returns false with errno set when the descriptor
// refuses the bytes; a write that takes nothing counts as a failure (EIO), so it cannot spin.
bool write_all(int fd, std::span<const char> bytes);

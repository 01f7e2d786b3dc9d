#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The bytes a client puts on its channel: a 4-byte PID header in native byte order, the command
// chunks as the console read them, and the end marker once console input has ended. The stream
// has no framing of its own, so each piece goes out whole, in one write whenever the kernel
// takes it at once (always on a pipe: every piece is under PIPE_BUF).
namespace channel_stream {

inline constexpr std::string_view end_marker = "ctrld";

// Each returns false with errno set when the channel refused the piece.
bool send_header(int channel, std::int32_t pid);
bool send_chunk(int channel, std::span<const char> chunk);
bool send_end_marker(int channel);

} // namespace channel_stream

#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The three pieces that a client writes on its channel. The stream has no framing of its own,
// so each piece must go out whole: one piece cut short would run into the next.
namespace channel_stream {

inline constexpr std::string_view end_marker = "ctrld";

// Each returns false with errno set when the channel refused the piece.
bool send_header(int channel, std::int32_t pid);
bool send_chunk(int channel, std::span<const char> chunk);
bool send_end_marker(int channel);

} // namespace channel_stream

#include "channel_stream.hpp"

#include "write_all.hpp"

#include <array>
#include <cstring>

namespace channel_stream {

bool send_header(int channel, std::int32_t pid)
{
    std::array<char, sizeof pid> header;
    std::memcpy(header.data(), &pid, sizeof pid);
    return write_all(channel, header);
}

bool send_chunk(int channel, std::span<const char> chunk)
{
    return write_all(channel, chunk);
}

bool send_end_marker(int channel)
{
    return write_all(channel, end_marker);
}

} // namespace channel_stream

#include "stream_decoder.hpp"

#include <cstring>

namespace {
constexpr std::string_view end_marker = "ctrld";
}

void stream_decoder::feed(std::span<const char> bytes)
{
    for (char const c : bytes)
        take(c);
}

void stream_decoder::take(char c)
{
    if (header_len_ < header_.size()) {
        header_[header_len_++] = c;
        if (header_len_ == header_.size()) {
            std::int32_t pid;
            std::memcpy(&pid, header_.data(), sizeof pid);
            sink_.header(pid);
        }
        return;
    }
    if (c == '\n') {
        sink_.command({line_.data(), line_len_});
        line_len_ = 0;
        return;
    }
    if (line_len_ == line_.size()) {
        // Keep the tail that may be the start of the end marker.
        std::size_t const keep = end_marker.size() - 1;
        sink_.command({line_.data(), line_len_ - keep});
        std::memmove(line_.data(), line_.data() + line_len_ - keep, keep);
        line_len_ = keep;
    }
    line_[line_len_++] = c;
}

stream_decoder::ending stream_decoder::finish()
{
    std::string_view last{line_.data(), line_len_};
    line_len_ = 0;
    bool const clean = header_len_ == header_.size() && last.ends_with(end_marker);
    if (clean)
        last.remove_suffix(end_marker.size());
    if (!last.empty())
        sink_.command(last);
    header_len_ = 0;
    return clean ? ending::clean : ending::vanished;
}

// Heavy runs of the built client: many clients at once on one FIFO. Labelled "stress" in CTest.

#include "harness.hpp"

#include <algorithm>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace harness;

namespace {

// Each line names its client and its number, so the merged stream can be taken apart again.
std::string line_of(int client, int number)
{
    std::string line = std::to_string(client) + ":" + std::to_string(number) + ":";
    line.append(static_cast<std::size_t>((client * 7919 + number * 104729) % (199 - 12)), 'x');
    return line + "\n";
}

TEST(many_writers, lines_arrive_whole_and_in_order)
{
    constexpr int clients = 32;
    constexpr int lines = 2000;
    temp_dir dir;
    make_fifo(dir / "canal");
    fifo_reader reader{dir / "canal"};
    unique_fd const null = open_fd("/dev/null", O_WRONLY);
    std::vector<std::unique_ptr<process>> running;
    std::map<std::string, int> client_of_header;
    for (int c = 0; c < clients; ++c) {
        std::string input;
        for (int n = 0; n < lines; ++n)
            input += line_of(c, n);
        write_file(dir / std::to_string(c), input);
        unique_fd const in = open_fd(dir / std::to_string(c), O_RDONLY);
        running.push_back(std::make_unique<process>(built(CLIENT_PATH, {dir / "canal"}),
                                                    std::array<int, 3>{in.get(), null.get(), 2}));
        client_of_header[header_of(running.back()->pid())] = c;
    }
    for (auto& client : running)
        EXPECT_EQ(outcome(client->wait()), -SIGKILL);

    // Every piece is under PIPE_BUF, so pieces interleave but never tear. Headers are told apart
    // from lines by their NUL bytes, which no line holds.
    std::string const stream = reader.finish();
    std::vector<int> next(clients, -1); // -1: header not seen yet
    int markers = 0;
    int torn = 0;
    for (std::size_t at = 0; at < stream.size();) {
        if (auto header = client_of_header.find(stream.substr(at, 4));
            header != client_of_header.end()) {
            EXPECT_EQ(next[header->second], -1) << "second header of client " << header->second;
            next[header->second] = 0;
            at += 4;
        } else if (stream.compare(at, 5, "ctrld") == 0) {
            ++markers;
            at += 5;
        } else {
            std::size_t const end = stream.find('\n', at);
            std::string const line = stream.substr(at, end - at + 1);
            int c = -1;
            std::from_chars(line.data(), line.data() + line.size(), c);
            if (c < 0 || c >= clients || next[c] < 0 || line != line_of(c, next[c]))
                ++torn;
            else
                ++next[c];
            at = end == std::string::npos ? stream.size() : end + 1;
        }
    }
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(markers, clients);
    EXPECT_EQ(std::count(next.begin(), next.end(), lines), clients) << "lines lost";
}

} // namespace

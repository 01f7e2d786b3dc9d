// The client's units in process: the channel stream's pieces and the console's reads.

#include "channel_stream.hpp"
#include "console.hpp"
#include "harness.hpp"
#include "write_all.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using namespace harness;

namespace {

std::string drain(int fd)
{
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

TEST(channel_stream, pieces_are_exact_bytes)
{
    auto pipe = make_pipe();
    ASSERT_TRUE(channel_stream::send_header(pipe[1].get(), 258));
    ASSERT_TRUE(channel_stream::send_chunk(pipe[1].get(), std::string_view{"ls\n"}));
    ASSERT_TRUE(channel_stream::send_end_marker(pipe[1].get()));
    pipe[1] = unique_fd{};
    EXPECT_EQ(drain(pipe[0].get()), "\x02\x01\x00\x00ls\nctrld"s);
}

TEST(channel_stream, refused_piece_reports_the_reason)
{
    std::signal(SIGPIPE, SIG_IGN);
    auto pipe = make_pipe();
    pipe[0] = unique_fd{};
    errno = 0;
    EXPECT_FALSE(channel_stream::send_end_marker(pipe[1].get()));
    EXPECT_EQ(errno, EPIPE);
}

TEST(write_all, waits_out_a_full_non_blocking_pipe)
{
    auto pipe = make_pipe();
    fcntl(pipe[1].get(), F_SETFL, O_NONBLOCK);
    std::string const bytes(1 << 20, 'z');
    std::string received;
    std::thread reader{[&] { received = drain(pipe[0].get()); }};
    EXPECT_TRUE(write_all(pipe[1].get(), bytes));
    pipe[1] = unique_fd{};
    reader.join();
    EXPECT_EQ(received, bytes);
}

// Feeds the console from a file, so that it meets end of file after the input.
std::vector<std::string> reads_of(std::string const& input)
{
    temp_dir dir;
    write_file(dir / "input", input);
    unique_fd const in = open_fd(dir / "input", O_RDONLY);
    unique_fd const out = open_fd("/dev/null", O_WRONLY);
    auto con = std::make_unique<console>(in.get(), out.get());
    std::vector<std::string> reads;
    while (auto const command = con->read_command())
        reads.emplace_back(command->begin(), command->end());
    EXPECT_FALSE(con->read_command()) << "end of input came back";
    return reads;
}

struct read_case {
    char const* name;
    std::string input;
    std::vector<std::string> reads;
};

void PrintTo(read_case const& c, std::ostream* os)
{
    *os << c.name;
}

class console_reads : public testing::TestWithParam<read_case> {};

TEST_P(console_reads, split_as_a_199_byte_line_read_would)
{
    EXPECT_EQ(reads_of(GetParam().input), GetParam().reads);
}

std::string const a199(199, 'a');

INSTANTIATE_TEST_SUITE_P(
    lines, console_reads,
    testing::Values(read_case{"nothing", "", {}},
                    read_case{"lines_keep_their_newline", "ab\n\nabcd\n", {"ab\n", "\n", "abcd\n"}},
                    read_case{"long_line", a199 + a199 + "tail\n", {a199, a199, "tail\n"}},
                    read_case{"newline_after_199_is_its_own_read", a199 + "\n", {a199, "\n"}},
                    read_case{"no_newline_at_the_end", "ls\npwd", {"ls\n", "pwd"}},
                    read_case{"nuls_leave_the_rest", "ls\0 -la\n\0pwd\n"s, {"ls -la\n", "pwd\n"}},
                    read_case{
                        "nuls_count_toward_the_199", std::string(199, '\0') + "x\n", {"", "x\n"}}),
    [](auto const& info) { return info.param.name; });

TEST(console, reads_across_the_buffer_edge_lose_nothing)
{
    std::string input;
    for (int n = 0; input.size() < 200'000; ++n)
        input += std::string(static_cast<std::size_t>(n * 37 % 260), 'a' + n % 26) + "\n";
    std::string joined;
    for (auto const& read : reads_of(input)) {
        EXPECT_LE(read.size(), console::max_read);
        EXPECT_EQ(read.find('\n'), read.ends_with('\n') ? read.size() - 1 : std::string::npos);
        joined += read;
    }
    EXPECT_EQ(joined, input);
}

TEST(console, prints_are_held_until_input_is_awaited)
{
    auto in = make_pipe();
    auto out = make_pipe();
    fcntl(out[0].get(), F_SETFL, O_NONBLOCK);
    console con{in[0].get(), out[1].get()};
    con.print("Saisir :");
    char byte;
    EXPECT_EQ(read(out[0].get(), &byte, 1), -1) << "printed before input was awaited";
    in[1] = unique_fd{};
    EXPECT_FALSE(con.read_command());
    EXPECT_EQ(read_until(out[0].get(), "Saisir :"), "Saisir :");
}

} // namespace

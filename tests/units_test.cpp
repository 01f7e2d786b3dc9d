// The client's units in process: the console's reads and prints.

#include "console.hpp"
#include "harness.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using namespace harness;

namespace {

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
    testing::Values(read_case{"lines_keep_their_newline", "ab\n\nabcd\n", {"ab\n", "\n", "abcd\n"}},
                    read_case{"long_line", a199 + a199 + "tail\n", {a199, a199, "tail\n"}},
                    read_case{"newline_after_199_is_its_own_read", a199 + "\n", {a199, "\n"}},
                    read_case{"no_newline_at_the_end", "ls\npwd", {"ls\n", "pwd"}},
                    read_case{"nuls_leave_the_rest", "ls\0 -la\n\0pwd\n"s, {"ls -la\n", "pwd\n"}},
                    read_case{
                        "nuls_count_toward_the_199", std::string(199, '\0') + "x\n", {"", "x\n"}}),
    [](auto const& info) { return info.param.name; });

// What a line read into a 200-byte buffer gives, less the NULs that the console takes out.
std::vector<std::string> model_reads(std::string_view rest)
{
    std::vector<std::string> reads;
    while (!rest.empty()) {
        std::size_t take = std::min(rest.size(), a199.size());
        if (auto const newline = rest.substr(0, take).find('\n'); newline != rest.npos)
            take = newline + 1;
        reads.emplace_back(rest.substr(0, take));
        std::erase(reads.back(), '\0');
        rest.remove_prefix(take);
    }
    return reads;
}

TEST(console, reads_across_the_buffer_edge_are_line_reads)
{
    std::mt19937 random{3};
    std::string_view const bytes{"aaaaaaaa\0\r\xff\n", 12};
    std::string input;
    while (input.size() < 200'000)
        input += bytes[random() % (random() % 8 == 0 ? bytes.size() : 8)];
    EXPECT_EQ(reads_of(input), model_reads(input));
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

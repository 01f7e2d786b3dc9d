// The client's units in process: the console's reads and prints, and text made printable.

#include "console.hpp"
#include "harness.hpp"
#include "printable.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using namespace harness;

namespace {

std::vector<std::string> reads_from(int in)
{
    unique_fd const out = open_fd("/dev/null", O_WRONLY);
    auto con = std::make_unique<console>(in, out.get());
    std::vector<std::string> reads;
    while (auto const command = con->read_command())
        reads.emplace_back(command->begin(), command->end());
    EXPECT_FALSE(con->read_command()) << "end of input came back";
    return reads;
}

// Feeds the console from a file, so that it meets end of file after the input.
std::vector<std::string> reads_of(std::string const& input)
{
    temp_dir dir;
    write_file(dir / "input", input);
    return reads_from(open_fd(dir / "input", O_RDONLY).get());
}

// Feeds the console one byte per read, as a program that writes a byte at a time would: each
// packet of a SOCK_SEQPACKET socket is one read.
std::vector<std::string> reads_a_byte_at_a_time(std::string const& input)
{
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    unique_fd in{fds[0]};
    // The feeder stops once the console has stopped reading and its end is closed.
    std::thread feeder{[out = unique_fd{fds[1]}, &input] {
        for (char const byte : input) {
            if (send(out.get(), &byte, 1, MSG_NOSIGNAL) != 1)
                return;
        }
    }};
    auto reads = reads_from(in.get());
    in = unique_fd{};
    feeder.join();
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
    EXPECT_EQ(reads_a_byte_at_a_time(GetParam().input), GetParam().reads) << "a byte per read";
}

std::string const a199(199, 'a');

INSTANTIATE_TEST_SUITE_P(
    lines, console_reads,
    testing::Values(read_case{"lines_keep_their_newline", "ab\n\nabcd\n", {"ab\n", "\n", "abcd\n"}},
                    read_case{"long_line", a199 + a199 + "tail\n", {a199, a199, "tail\n"}},
                    read_case{"newline_after_199_is_its_own_read", a199 + "\n", {a199, "\n"}},
                    read_case{"one_byte_last_line_without_newline", "ls\nx", {"ls\n", "x"}},
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

struct escape_case {
    char const* name;
    std::string text;
    std::string shown;
    std::size_t room = 64; // the output span's size
    std::string rest{};    // what did not fit
};

void PrintTo(escape_case const& c, std::ostream* os)
{
    *os << c.name;
}

class escaping : public testing::TestWithParam<escape_case> {};

// What does not fit stays in the text, whole characters only.
TEST_P(escaping, shows_printable_utf8_and_escapes_the_rest)
{
    std::string_view text = GetParam().text;
    std::string out(GetParam().room, '?');
    out.resize(printable::escape(text, out));
    EXPECT_EQ(out, GetParam().shown);
    EXPECT_EQ(text, GetParam().rest);
}

INSTANTIATE_TEST_SUITE_P(
    utf8, escaping,
    testing::Values(
        escape_case{"printable_ascii_edges", " ~", " ~"},
        escape_case{"c0_and_del", "\x1f\x7f\0"s, R"(\x1f\x7f\x00)"},
        escape_case{"overlong_two_bytes", "\xc0\x80\xc1\xbf", R"(\xc0\x80\xc1\xbf)"},
        escape_case{"c1_first_u0080", "\xc2\x80", R"(\xc2\x80)"},
        escape_case{"c1_last_u009f", "\xc2\x9f", R"(\xc2\x9f)"},
        escape_case{"after_c1_u00a0_and_guillemet", "\xc2\xa0\xc2\xab", "\xc2\xa0\xc2\xab"},
        escape_case{"two_byte_last_u07ff", "\xdf\xbf", "\xdf\xbf"},
        escape_case{"three_byte_first_u0800", "\xe0\xa0\x80", "\xe0\xa0\x80"},
        escape_case{"overlong_three_bytes", "\xe0\x9f\xbf", R"(\xe0\x9f\xbf)"},
        escape_case{"before_surrogates_ud7ff", "\xed\x9f\xbf", "\xed\x9f\xbf"},
        escape_case{"surrogates_ud800_udfff", "\xed\xa0\x80\xed\xbf\xbf",
                    R"(\xed\xa0\x80\xed\xbf\xbf)"},
        escape_case{"after_surrogates_ue000", "\xee\x80\x80", "\xee\x80\x80"},
        escape_case{"three_byte_last_uffff", "\xef\xbf\xbf", "\xef\xbf\xbf"},
        escape_case{"four_byte_first_u10000", "\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},
        escape_case{"overlong_four_bytes", "\xf0\x8f\xbf\xbf", R"(\xf0\x8f\xbf\xbf)"},
        escape_case{"last_code_point_u10ffff", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
        escape_case{"beyond_u10ffff", "\xf4\x90\x80\x80\xf5\x80\x80\x80",
                    R"(\xf4\x90\x80\x80\xf5\x80\x80\x80)"},
        escape_case{"whole_character_at_the_end", "a\xc3\xa9", "a\xc3\xa9"},
        escape_case{"cut_short_at_the_end", "\xe2\x82", R"(\xe2\x82)"},
        escape_case{"cut_short_before_a_plain_byte", "\xf0\x90\x80\x61\xc3(",
                    R"(\xf0\x90\x80a\xc3()"},
        escape_case{"stray_continuations", "\x80\xbf\xc3\xc3\xa9", "\\x80\\xbf\\xc3\xc3\xa9"},
        escape_case{"room_for_a_whole_character", "\xc3\xa9", "\xc3\xa9", 2},
        escape_case{"no_room_for_a_whole_character", "a\xc3\xa9", "a", 2, "\xc3\xa9"},
        escape_case{"no_room_for_an_escape", "\x01", "", 3, "\x01"}),
    [](auto const& info) { return info.param.name; });

} // namespace

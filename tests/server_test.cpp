// The stand-in command server: its decoding of a stream, and the built server on a real FIFO.

#include "harness.hpp"
#include "stream_decoder.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using namespace harness;

namespace {

class recorder final : public stream_decoder::events {
public:
    void header(std::int32_t pid) override { seen.push_back("pid " + std::to_string(pid)); }
    void command(std::string_view line) override { seen.push_back("cmd " + std::string{line}); }
    std::vector<std::string> seen;
};

struct decode_case {
    char const* name;
    std::string stream;
    std::vector<std::string> seen; // the events, then how the client ended
};

void PrintTo(decode_case const& c, std::ostream* os)
{
    *os << c.name;
}

class decoding : public testing::TestWithParam<decode_case> {};

// Fed a byte at a time and all at once, the decoder must see the same.
TEST_P(decoding, events_do_not_depend_on_how_bytes_arrive)
{
    for (std::size_t piece : {std::size_t{1}, GetParam().stream.size() + 1}) {
        recorder events;
        stream_decoder decoder{events};
        std::string_view rest = GetParam().stream;
        for (; !rest.empty(); rest.remove_prefix(std::min(piece, rest.size())))
            decoder.feed(rest.substr(0, piece));
        events.seen.push_back(decoder.finish() == stream_decoder::ending::clean ? "clean"
                                                                                : "vanished");
        EXPECT_EQ(events.seen, GetParam().seen) << "fed in pieces of " << piece;
    }
}

std::string const pid258 = "\x02\x01\x00\x00"s;
std::string const long_line(5000, 'l');

INSTANTIATE_TEST_SUITE_P(
    streams, decoding,
    testing::Values(decode_case{"lines",
                                pid258 + "ls\n\nctrld\nctrld",
                                {"pid 258", "cmd ls", "cmd ", "cmd ctrld", "clean"}},
                    decode_case{"last_line_glued_to_marker",
                                pid258 + "abcctrld",
                                {"pid 258", "cmd abc", "clean"}},
                    decode_case{"vanished_mid_line",
                                pid258 + "ls\npw",
                                {"pid 258", "cmd ls", "cmd pw", "vanished"}},
                    decode_case{"vanished_before_header", "\x02\x01", {"vanished"}},
                    decode_case{"long_line_in_pieces",
                                pid258 + long_line + "ctrld",
                                {"pid 258", "cmd " + long_line.substr(0, 4092),
                                 "cmd " + long_line.substr(4092), "clean"}}),
    [](auto const& info) { return info.param.name; });

TEST(server, prints_each_client_in_turn_and_removes_its_fifo)
{
    temp_dir dir;
    std::string const fifo = dir / "canal";
    auto out = make_pipe();
    process server{{SERVER_PATH, fifo}, {-1, out[1].get(), 2}};
    out[1] = unique_fd{};
    std::string seen = read_until(out[0].get(), "en attente");
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    for (std::string const input : {"ls -la\n\x1b[2J\x7f\n", "pwd"}) {
        write_file(dir / "input", input);
        unique_fd const in = open_fd(dir / "input", O_RDONLY);
        unique_fd const null = open_fd("/dev/null", O_WRONLY);
        process client{{CLIENT_PATH, fifo}, {in.get(), null.get(), 2}};
        client.wait();
        std::string const who = "client " + std::to_string(client.pid()) + " : ";
        seen = read_until(out[0].get(), who + "fin (ctrld)\n", seen);
        std::string const lines =
            input[0] == 'l' ? who + "ls -la\n" + who + "\\x1b[2J\\x7f\n" : who + "pwd\n";
        EXPECT_NE(seen.find(who + "connecté\n" + lines + who + "fin (ctrld)\n"), std::string::npos)
            << seen;
    }
    kill(server.pid(), SIGTERM);
    EXPECT_EQ(outcome(server.wait()), -SIGTERM);
    EXPECT_NE(access(fifo.c_str(), F_OK), 0) << "the FIFO was left behind";
}

TEST(server, reports_a_client_that_vanished)
{
    temp_dir dir;
    std::string const fifo = dir / "canal";
    make_fifo(fifo);
    auto out = make_pipe();
    process server{{SERVER_PATH, fifo}, {-1, out[1].get(), 2}};
    out[1] = unique_fd{};
    read_until(out[0].get(), "en attente");
    {
        unique_fd const writer = open_fd(fifo, O_WRONLY);
        ASSERT_EQ(write(writer.get(), "\x07\x00\x00\x00ls\n", 7), 7);
    }
    std::string seen = read_until(out[0].get(), "disparu");
    // A stream too short for a header, after a known client, must not be taken for that client.
    {
        unique_fd const writer = open_fd(fifo, O_WRONLY);
        ASSERT_EQ(write(writer.get(), "\x02", 1), 1);
    }
    EXPECT_NE(read_until(out[0].get(), "inconnu : disparu", seen)
                  .find("client 7 : ls\nclient 7 : disparu sans ctrld\n"
                        "client inconnu : disparu sans ctrld\n"),
              std::string::npos);
    kill(server.pid(), SIGINT);
    EXPECT_EQ(outcome(server.wait()), -SIGINT);
    EXPECT_EQ(access(fifo.c_str(), F_OK), 0) << "removed a FIFO it did not make";
}

TEST(server, refuses_a_path_that_is_not_a_fifo)
{
    temp_dir dir;
    write_file(dir / "file", "keep");
    unique_fd const err = open_fd(dir / "errors", O_WRONLY | O_CREAT);
    process server{{SERVER_PATH, dir / "file"}, {-1, -1, err.get()}};
    EXPECT_EQ(outcome(server.wait()), 1);
    EXPECT_EQ(read_file(dir / "errors"),
              "command-server: " + dir / "file" + ": existe et n'est pas un tube nommé\n");
    EXPECT_EQ(read_file(dir / "file"), "keep");
}

} // namespace

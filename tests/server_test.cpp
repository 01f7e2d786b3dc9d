// The stand-in command server: its decoding of a stream, and the built server on a real FIFO.

#include "harness.hpp"
#include "stream_decoder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

using namespace std::string_literals;
using namespace harness;

namespace {

std::vector<std::string> with(std::vector<std::string> before, std::vector<std::string> const& argv)
{
    before.insert(before.end(), argv.begin(), argv.end());
    return before;
}

std::string repeat(std::string const& text, int times)
{
    std::string all;
    for (int n = 0; n < times; ++n)
        all += text;
    return all;
}

class recorder final : public stream_decoder::events {
public:
    void connected(std::int32_t pid, bool mixed) override
    {
        seen.push_back("+" + std::to_string(pid) + (mixed ? " mixed" : ""));
    }
    void command(stream_decoder::client who, std::string_view line, bool partial) override
    {
        seen.push_back(name(who) + (partial ? " part " : " cmd ") + std::string{line});
    }
    void ended(stream_decoder::client who, bool clean) override
    {
        seen.push_back(name(who) + (clean ? " clean" : " vanished"));
    }
    std::vector<std::string> seen;

private:
    static std::string name(stream_decoder::client who)
    {
        return who.pid ? std::to_string(*who.pid) : who.mixed ? "*" : "?";
    }
};

// A stream as clients write it, one write a piece: text, and headers given by their pid, laid
// out in the byte order under test.
using piece = std::variant<std::string, std::int32_t>;

// How the decoder is fed: a read per write, each ending a piece; all at once; a byte at a time
// with no read's end to go by.
enum class feeding { writes, at_once, bytes };

struct decode_case {
    char const* name;
    std::vector<piece> stream;
    std::vector<std::string> seen;
    std::vector<feeding> feedings{feeding::writes, feeding::at_once, feeding::bytes};
};

void PrintTo(decode_case const& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<std::string> laid_out(std::vector<piece> const& stream, std::endian order)
{
    std::vector<std::string> writes;
    for (piece const& p : stream) {
        if (auto const* text = std::get_if<std::string>(&p)) {
            writes.push_back(*text);
            continue;
        }
        std::string header = header_of(std::get<std::int32_t>(p));
        if (order != std::endian::native)
            std::ranges::reverse(header);
        writes.push_back(header);
    }
    return writes;
}

class decoding : public testing::TestWithParam<decode_case> {};

TEST_P(decoding, finds_every_session_in_either_byte_order)
{
    for (std::endian order : {std::endian::little, std::endian::big}) {
        std::vector<std::string> const writes = laid_out(GetParam().stream, order);
        std::string all;
        for (auto const& w : writes)
            all += w;
        for (feeding how : GetParam().feedings) {
            recorder events;
            stream_decoder decoder{events, order};
            if (how == feeding::writes) {
                for (auto const& w : writes) {
                    decoder.feed(w);
                    decoder.piece_end();
                }
            } else {
                for (std::size_t at = 0; at < all.size();
                     at += how == feeding::bytes ? 1 : all.size())
                    decoder.feed(
                        std::string_view{all}.substr(at, how == feeding::bytes ? 1 : all.size()));
            }
            decoder.finish();
            EXPECT_EQ(events.seen, GetParam().seen)
                << (order == std::endian::big ? "big" : "little") << "-endian, fed "
                << (how == feeding::writes  ? "a write a read"
                    : how == feeding::bytes ? "a byte at a time"
                                            : "at once");
        }
    }
}

// A character cut would fall inside: the piece must end before it.
std::string const long_line = "l" + repeat("é", 2500);
// Cut 4092 bytes in, after the 4-byte tail kept for a possible end marker: the first falls on
// the last byte of a 4-byte character, the second in bytes that start no character.
std::string const four_byte_line = "x" + repeat("\xf0\x9f\x98\x80", 1300);
std::string const stray_bytes_line(5000, '\x80');
std::string const chunk(199, 'a');
// 199 bytes that end as the end marker does: a long line's piece, or a last line and the marker.
std::string const chunk_ending_in_marker = std::string(194, 'a') + "ctrld";

// Another client's long line in 199-byte pieces, a stream longer than the decoder's window, so
// that its pieces straddle the window's edge.
decode_case long_line_among_others()
{
    decode_case c{"long_line_among_others", {7, 8, "ls\n"}, {"+7", "+8 mixed", "* cmd ls"}};
    for (int n = 0; n < 22; ++n) {
        c.stream.emplace_back(chunk);
        c.seen.push_back("* part " + chunk);
    }
    c.stream.insert(c.stream.end(), {"x\n", "ctrld", "ctrld"});
    c.seen.insert(c.seen.end(), {"* cmd x", "* clean", "* clean"});
    return c;
}

// Ids whose NULs and newlines lie where a reader may take them for another header's or for a
// line's end: multiples of 256 (17664 = 0x4500, 2560 = 0x0a00), below 256 (10, a newline),
// newline bytes below the NUL (657930 = 0x0a0a0a, 344330 = 0x05410a), and plain ones.
INSTANTIATE_TEST_SUITE_P(
    streams, decoding,
    testing::Values(
        decode_case{"lines",
                    {258, "ls\n", "\n", "ctrld\n", "ctrld"},
                    {"+258", "258 cmd ls", "258 cmd ", "258 cmd ctrld", "258 clean"}},
        decode_case{"last_line_glued_to_marker",
                    {258, "abc", "ctrld"},
                    {"+258", "258 cmd abc", "258 clean"}},
        decode_case{"vanished_mid_line",
                    {258, "ls\npw"},
                    {"+258", "258 cmd ls", "258 cmd pw", "258 vanished"}},
        decode_case{"text_before_any_header", {"\x02"}, {"? cmd \x02", "? vanished"}},
        decode_case{"long_line_in_pieces",
                    {258, long_line + "ctrld"},
                    {"+258", "258 part " + long_line.substr(0, 4091),
                     "258 cmd " + long_line.substr(4091), "258 clean"}},
        decode_case{"long_lines_cut_between_characters",
                    {258, four_byte_line + "\n" + stray_bytes_line, 4242, "ls\nctrld"},
                    {"+258", "258 part " + four_byte_line.substr(0, 4089),
                     "258 cmd " + four_byte_line.substr(4089),
                     "258 part " + stray_bytes_line.substr(0, 4089),
                     "258 cmd " + stray_bytes_line.substr(4089), "+4242 mixed", "* cmd ls",
                     "* clean", "* vanished"}},
        decode_case{"opening_with_no_byte", {}, {}},
        decode_case{"sessions_back_to_back",
                    {258, "ls\n", "ctrld", 4242, "pwd\n", "ctrld", 65536, "ctrld", 123457,
                     "id\nctrld", 2560, "ctrld"},
                    {"+258", "258 cmd ls", "258 clean", "+4242", "4242 cmd pwd", "4242 clean",
                     "+65536", "65536 clean", "+123457", "123457 cmd id", "123457 clean", "+2560",
                     "2560 clean"}},
        decode_case{
            "header_low_bytes_hold_a_newline",
            {258, "ls\n", "ctrld", 344330, "pwd\n", "ctrld"},
            {"+258", "258 cmd ls", "258 clean", "+344330", "344330 cmd pwd", "344330 clean"}},
        decode_case{"clients_started_together",
                    {6763, 17664, 2560, 10, 657930, 6764, "ls\n", "ctrld", "pwd\n", "ctrld",
                     "ctrld", "ctrld", "ctrld", "ctrld", 17664, "id\n", "ctrld"},
                    {"+6763", "+17664 mixed", "+2560 mixed", "+10 mixed", "+657930 mixed",
                     "+6764 mixed", "* cmd ls", "* clean", "* cmd pwd", "* clean", "* clean",
                     "* clean", "* clean", "* clean", "+17664", "17664 cmd id", "17664 clean"}},
        decode_case{"long_line_piece_not_glued_to_anothers_line",
                    {7, 8, chunk, "ls\n", "ctrld", "ctrld"},
                    {"+7", "+8 mixed", "* part " + chunk, "* cmd ls", "* clean", "* clean"}},
        decode_case{"marker_then_anothers_empty_line",
                    {7, 8, "ctrld", "\n", "ctrld"},
                    {"+7", "+8 mixed", "* clean", "* cmd ", "* clean"}},
        decode_case{"text_without_header_is_one_session",
                    {"ls\n", "ctrld", 7, "pwd\n", "ctrld"},
                    {"? cmd ls", "? clean", "+7", "7 cmd pwd", "7 clean"}},
        // A piece of 199 bytes may go on after another client's piece; a shorter one may not.
        decode_case{"lone_line_cut_by_a_header",
                    {7, "ab\n", chunk, 8, "ctrld", "ctrld", 9, chunk, "abc", 10, "ctrld", "ctrld"},
                    {"+7", "7 cmd ab", "7 part " + chunk, "+8 mixed", "* clean", "* clean", "+9",
                     "9 cmd " + chunk + "abc", "+10 mixed", "* clean", "* clean"}},
        decode_case{"typed_ctrld_once_one_session_is_left",
                    {7, 8, "ctrld", "ctrld\n", "ctrld"},
                    {"+7", "+8 mixed", "* clean", "* cmd ctrld", "* clean"}},
        // A read may end between a line that ends in "ctrld" and what follows it.
        decode_case{"last_line_ending_in_ctrld",
                    {7, "echo ctrld", "ctrld", 8, "echo ctrld", "ctrld"},
                    {"+7", "7 cmd echo ctrld", "7 clean", "+8", "8 cmd echo ctrld", "8 clean"}},
        // Then more text, a header, the end: the line goes on, or the piece ended in the marker.
        decode_case{"piece_ending_in_ctrld",
                    {7, chunk_ending_in_marker, "tail\n", chunk_ending_in_marker, 8,
                     chunk_ending_in_marker},
                    {"+7", "7 cmd " + chunk_ending_in_marker + "tail", "7 cmd " + chunk.substr(5),
                     "7 clean", "+8", "8 cmd " + chunk.substr(5), "8 clean"}},
        // Last lines without a newline, each glued to its marker, around the 199-byte limit.
        decode_case{"last_lines_glued_to_markers_among_others",
                    {7, 8, 9, 10, "x", "ctrld", chunk.substr(1), "ctrld", chunk, "ctrld", "ctrld"},
                    {"+7", "+8 mixed", "+9 mixed", "+10 mixed", "* cmd x", "* clean",
                     "* cmd " + chunk.substr(1), "* clean", "* part " + chunk, "* clean",
                     "* clean"}},
        long_line_among_others(),
        decode_case{"read_end_parts_a_last_line_from_anothers",
                    {7, 8, "abc", "ls\n"},
                    {"+7", "+8 mixed", "* cmd abc", "* cmd ls", "* vanished", "* vanished"},
                    {feeding::writes}}),
    [](auto const& info) { return info.param.name; });

// The server on a FIFO in a temporary folder, its standard output on a pipe the test reads.
// `before` runs the server, as in {"/usr/bin/unshare", "--pid", "--fork"}.
struct running_server {
    explicit running_server(std::string fifo_path, int err = 2,
                            std::vector<std::string> before = {}, bool json = false)
        : fifo{std::move(fifo_path)}, out{make_pipe()},
          server{with(std::move(before),
                      built(SERVER_PATH, json ? std::vector{"--json"s, fifo} : std::vector{fifo})),
                 {-1, out[1].get(), err}}
    {
        out[1] = unique_fd{};
        seen = read_until(out[0].get(), json ? "\"listening\"" : "en attente");
    }
    void send(std::string const& stream) const
    {
        unique_fd const writer = open_fd(fifo, O_WRONLY);
        ASSERT_EQ(write(writer.get(), stream.data(), stream.size()), std::ssize(stream));
    }
    std::string const& until(std::string const& wanted)
    {
        seen = read_until(out[0].get(), wanted, seen);
        return seen;
    }
    std::string fifo;
    std::array<unique_fd, 2> out;
    process server;
    std::string seen;
};

TEST(server, prints_each_client_in_turn_and_removes_its_fifo)
{
    temp_dir dir;
    mode_t const umask_before = umask(0477);
    running_server s{dir / "canal"};
    umask(umask_before);
    struct stat st {};
    ASSERT_EQ(stat(s.fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // C0, DEL and C1 controls, as bytes and as code points, and malformed UTF-8 are escaped;
    // accents are kept.
    for (std::string const input : {"ls -la\n\x1b[2J\x7f\t\xc2\x9b\x9d\xff\xe0\x80 é\n", "pwd"}) {
        write_file(dir / "input", input);
        unique_fd const in = open_fd(dir / "input", O_RDONLY);
        unique_fd const null = open_fd("/dev/null", O_WRONLY);
        process client{built(CLIENT_PATH, {s.fifo}), {in.get(), null.get(), 2}};
        client.wait();
        std::string const who = "client " + std::to_string(client.pid()) + " : ";
        std::string const lines =
            input[0] == 'l'
                ? who + "ls -la\n" + who + R"(\x1b[2J\x7f\x09\xc2\x9b\x9d\xff\xe0\x80 é)" + "\n"
                : who + "pwd\n";
        EXPECT_NE(
            s.until(who + "fin (ctrld)\n").find(who + "connecté\n" + lines + who + "fin (ctrld)\n"),
            std::string::npos)
            << s.seen;
    }
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
    EXPECT_NE(access(s.fifo.c_str(), F_OK), 0) << "the FIFO was left behind";
}

// What the records that start with head, or with its continuation more, carry after it, joined;
// each record must fit in PIPE_BUF.
std::string joined(std::string const& printed, std::string const& head, std::string const& more)
{
    std::istringstream lines{printed};
    std::string text;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_LT(line.size(), std::size_t{PIPE_BUF}) << "a record longer than PIPE_BUF";
        for (std::string const& start : {head, more})
            text += line.starts_with(start) ? line.substr(start.size()) : "";
    }
    return text;
}

// Stopped, the server lags: the second client opens the FIFO before the first one's end of
// file was seen, and both come in one stream.
TEST(server, sessions_stay_apart_when_the_server_lags)
{
    temp_dir dir;
    running_server s{dir / "canal"};
    kill(s.server.pid(), SIGSTOP);
    std::string const long_line(5000, 'l');
    s.send(header_of(66816) + long_line + "\nctrld");
    s.send(header_of(2560) + "pwd\nctrld");
    kill(s.server.pid(), SIGCONT);

    std::string const a = "client 66816";
    EXPECT_EQ(joined(s.until("client 2560 : fin (ctrld)\n"), a + " : ", a + " (suite) : "),
              "connecté" + long_line + "fin (ctrld)");
    EXPECT_NE(s.seen.find(a + " : fin (ctrld)\nclient 2560 : connecté\nclient 2560 : pwd\n"
                              "client 2560 : fin (ctrld)\n"),
              std::string::npos)
        << s.seen;
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
}

// While another writer holds the FIFO open, a last line that ends in "ctrld", then the marker,
// come in one read and nothing follows to tell: the end must not wait for more. Asked to stop
// while clients' bytes are in the pipe, the server shows them first; stopped, it cannot have read
// them before.
TEST(server, ends_a_session_without_waiting_and_shows_the_pipe_when_asked_to_stop)
{
    temp_dir dir;
    running_server s{dir / "canal"};
    unique_fd const holder = open_fd(s.fifo, O_WRONLY);
    s.send(header_of(7) + "echo ctrld" + "ctrld");
    EXPECT_NE(s.until("client 7 : fin (ctrld)\n").find("client 7 : echo ctrld\nclient 7 : fin"),
              std::string::npos)
        << s.seen;
    kill(s.server.pid(), SIGSTOP);
    s.send(header_of(8) + "ls\npwd");
    kill(s.server.pid(), SIGTERM);
    kill(s.server.pid(), SIGCONT);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
    EXPECT_NE(s.until("client 8 : pwd\n").find("client 8 : ls\nclient 8 : pwd\n"),
              std::string::npos)
        << s.seen;
}

// Two clients overlap; once the first has ended, the second types the line "ctrld": that is a
// command, then the second's own end, not a third end.
TEST(server, typed_ctrld_once_the_overlap_has_ended_is_a_line)
{
    temp_dir dir;
    running_server s{dir / "canal"};
    std::array<unique_fd, 2> first_in = make_pipe();
    std::array<unique_fd, 2> second_in = make_pipe();
    unique_fd const null = open_fd("/dev/null", O_WRONLY);
    process first{built(CLIENT_PATH, {s.fifo}), {first_in[0].get(), null.get(), 2}};
    s.until(" : connecté\n");
    process second{built(CLIENT_PATH, {s.fifo}), {second_in[0].get(), null.get(), 2}};
    s.until("(flux mêlés)\n");
    first_in[1] = unique_fd{};
    s.until("fin (ctrld)\n");
    ASSERT_EQ(write(second_in[1].get(), "ctrld\n", 6), 6);
    second_in[1] = unique_fd{};
    EXPECT_EQ(outcome(first.wait()), -SIGKILL);
    EXPECT_EQ(outcome(second.wait()), -SIGKILL);
    std::string const ending = "clients mêlés : fin (ctrld)\nclients mêlés : ctrld\n"
                               "clients mêlés : fin (ctrld)\n";
    EXPECT_TRUE(s.until(ending).ends_with(ending)) << s.seen;
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
}

// A path that does not fit in one record, once escaped, goes on in records of its own.
TEST(server, names_a_long_path_whole)
{
    temp_dir dir;
    std::string path = dir.path();
    std::string escaped = path;
    for (int n = 0; n < 6; ++n) {
        path += "/" + std::string(200, '\xe9');
        escaped += "/" + repeat("\\xe9", 200);
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    running_server s{path + "/canal"};
    EXPECT_EQ(
        joined(s.until("/canal\n"), "serveur : en attente de clients sur ", "serveur (suite) : "),
        escaped + "/canal");
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
}

TEST(server, reports_a_client_that_vanished)
{
    temp_dir dir;
    std::string const fifo = dir / "canal";
    make_fifo(fifo);
    // A hang-up that the caller chose to ignore stays ignored.
    signal(SIGHUP, SIG_IGN);
    running_server s{fifo};
    signal(SIGHUP, SIG_DFL);
    kill(s.server.pid(), SIGHUP);
    s.send(header_of(7) + "ls\n");
    s.until("disparu");
    // A stream with no header, after a known client, must not be taken for that client.
    s.send("\x02");
    EXPECT_NE(s.until("inconnu : disparu")
                  .find("client 7 : ls\nclient 7 : disparu sans ctrld\n"
                        "client inconnu : \\x02\nclient inconnu : disparu sans ctrld\n"),
              std::string::npos)
        << s.seen;
    kill(s.server.pid(), SIGINT);
    EXPECT_EQ(outcome(s.server.wait()), -SIGINT);
    EXPECT_EQ(access(fifo.c_str(), F_OK), 0) << "removed a FIFO it did not make";
}

// The exact lines that the server prints for streams sent one opening of the FIFO after the
// other, each once the lines of the one before are out.
struct output_case {
    char const* name;
    std::vector<std::pair<std::string, std::string>> openings; // bytes sent, lines printed
    std::vector<int> signals{};                                // sent first, one at a time
};

void PrintTo(output_case const& c, std::ostream* os)
{
    *os << c.name;
}

class server_output : public testing::TestWithParam<output_case> {};

TEST_P(server_output, prints_one_line_per_event)
{
    temp_dir dir;
    running_server s{dir / "canal"};
    std::string printed = "serveur : en attente de clients sur " + s.fifo + "\n";
    for (int const sig : GetParam().signals)
        kill(s.server.pid(), sig);
    for (auto const& [bytes, lines] : GetParam().openings) {
        s.send(bytes);
        printed += lines;
        EXPECT_EQ(s.until(printed), printed);
        // Time enough for a server that tries again and again to show it.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    // It waited for its clients, not tried again and again.
    std::ifstream io{"/proc/" + std::to_string(s.server.pid()) + "/io"};
    std::string field;
    long reads = 0;
    while (io >> field && field != "syscr:") {
    }
    io >> reads;
    EXPECT_LT(reads, 100) << "read calls";
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
}

// A record holds PIPE_BUF bytes with its newline: 4084 of a line after "client 7 : ".
std::string const record_long = std::string(4084, 'l');

INSTANTIATE_TEST_SUITE_P(
    streams, server_output,
    testing::Values(
        output_case{"mixed_stream_then_a_clean_one",
                    {{header_of(7) + "ls\n" + header_of(8) + "pwd\n",
                      "client 7 : connecté\nclient 7 : ls\nclient 8 : connecté (flux mêlés)\n"
                      "clients mêlés : pwd\nclients mêlés : disparus sans ctrld\n"
                      "clients mêlés : disparus sans ctrld\n"},
                     {header_of(9) + "id\nctrld",
                      "client 9 : connecté\nclient 9 : id\nclient 9 : fin (ctrld)\n"}}},
        // The decoder hands over 4092 bytes, then the rest.
        output_case{"long_line_goes_on_in_continuations",
                    {{header_of(7) + std::string(5000, 'l') + "\nctrld",
                      "client 7 : connecté\nclient 7 : " + record_long + "\nclient 7 (suite) : " +
                          std::string(4092 - 4084, 'l') + "\nclient 7 (suite) : " +
                          std::string(5000 - 4092, 'l') + "\nclient 7 : fin (ctrld)\n"}}},
        output_case{
            "opening_with_no_byte_is_no_client",
            {{"", ""}, {header_of(7) + "ctrld", "client 7 : connecté\nclient 7 : fin (ctrld)\n"}}},
        // A resized terminal, a child's end: signals whose default is to be ignored.
        output_case{"signals_ignored_by_default_leave_it_serving",
                    {{header_of(7) + "ctrld", "client 7 : connecté\nclient 7 : fin (ctrld)\n"}},
                    {SIGWINCH, SIGCHLD, SIGURG, SIGCONT}}),
    [](auto const& info) { return info.param.name; });

TEST(server, refuses_a_path_it_cannot_trust)
{
    temp_dir dir;
    write_file(dir / "file", "keep");
    for (auto const& [name, mode] : {std::pair{"open", 0622}, std::pair{"group", 0620}}) {
        mkfifo((dir / name).c_str(), 0600);
        chmod((dir / name).c_str(), mode);
    }
    for (auto const& [name, reason] :
         {std::pair{"file", "existe et n'est pas un tube nommé"},
          std::pair{"open", "d'autres utilisateurs peuvent y écrire"},
          std::pair{"group", "d'autres utilisateurs peuvent y écrire"}}) {
        unique_fd const err = open_fd(dir / "errors", O_WRONLY | O_CREAT | O_TRUNC);
        process server{built(SERVER_PATH, {dir / name}), {-1, -1, err.get()}};
        EXPECT_EQ(outcome(server.wait()), 1);
        EXPECT_EQ(read_file(dir / "errors"),
                  "command-server: " + dir / name + ": " + reason + "\n");
        EXPECT_EQ(access((dir / name).c_str(), F_OK), 0) << name;
    }
}

// Its options are answered, never taken for the path of a FIFO to make.
TEST(server, answers_its_options)
{
    temp_dir dir;
    struct option_case {
        std::vector<std::string> args;
        int status;
        std::string out; // the first line of standard output
        std::string err;
        bool full = false; // standard output refuses text
    };
    for (auto const& c :
         {option_case{{"--help"}, 0, "Utilisation : command-server [--json] canal\n", ""},
          option_case{{"--version"}, 0, "command-server " VERSION "\n", ""},
          option_case{{"--help"},
                      1,
                      "",
                      "command-server: sortie standard: No space left on device\n",
                      true},
          option_case{
              {"-x"},
              2,
              "",
              "command-server: -x: option inconnue\nUtilisation : command-server [--json] canal\n"},
          option_case{{""}, 1, "", "command-server: : No such file or directory\n"},
          option_case{{"canal", "extra"}, 2, "", "Utilisation : command-server [--json] canal\n"},
          option_case{{"--json"}, 2, "", "Utilisation : command-server [--json] canal\n"}}) {
        unique_fd const out = c.full ? open_fd("/dev/full", O_WRONLY)
                                     : open_fd(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
        unique_fd const err = open_fd(dir / "err", O_WRONLY | O_CREAT | O_TRUNC);
        process server{built(SERVER_PATH, c.args), {-1, out.get(), err.get()}, {}, dir.path()};
        EXPECT_EQ(outcome(server.wait()), c.status) << c.args[0];
        std::string const printed = c.full ? "" : read_file(dir / "out");
        EXPECT_EQ(printed.substr(0, printed.find('\n') + 1), c.out) << c.args[0];
        EXPECT_EQ(read_file(dir / "err"), c.err) << c.args[0];
        for (auto const& entry : std::filesystem::directory_iterator{dir.path()})
            EXPECT_TRUE(entry.path().filename() == "out" || entry.path().filename() == "err")
                << entry.path() << " was made";
    }
}

// How to run a program as the first process of a PID namespace, or nothing if this user cannot,
// or if probe fails there.
std::vector<std::string> in_pid_namespace(std::vector<std::string> const& probe = {"/bin/true"})
{
    std::vector<std::string> unshare{"/usr/bin/unshare", "--pid", "--fork"};
    if (geteuid() != 0)
        unshare.insert(unshare.begin() + 1, "-r");
    unique_fd const null = open_fd("/dev/null", O_RDWR);
    process run{with(unshare, probe), {null.get(), null.get(), null.get()}};
    return run.wait() == 0 ? unshare : std::vector<std::string>{};
}

// The process whose parent is pid.
int child_of(int pid)
{
    for (auto const& entry : std::filesystem::directory_iterator{"/proc"}) {
        std::ifstream stat{entry.path() / "stat"};
        std::string line;
        std::getline(stat, line);
        std::istringstream after_name{line.substr(line.rfind(')') + 1)};
        char state = 0;
        int parent = 0;
        if (after_name >> state >> parent && parent == pid)
            return std::stoi(entry.path().filename());
    }
    return -1;
}

enum class output { pipe, gone, over_limit, gone_mid_session };

// How a server that made its FIFO ends, and what it leaves at the path.
struct end_case {
    std::string name;
    int signal = 0; // sent to the server
    // "file": a file put in place of the FIFO; "link": a link to the FIFO, moved aside; "none":
    // the FIFO removed.
    char const* replace = "";
    // Standard output; gone: a pipe whose reader has gone, over_limit: a file that is full,
    // gone_mid_session: a pipe whose reader leaves once the first line is out.
    output out = output::pipe;
    bool first_process = false; // the first process of a PID namespace
    bool idle = false;          // no client has come
    int status = 1;
    std::string message{}; // standard error, after "command-server: "
    bool file_kept = false;
    char const* not_under_emulation = nullptr; // why, if an emulator cannot run it
};

void PrintTo(end_case const& c, std::ostream* os)
{
    *os << c.name;
}

class server_end : public testing::TestWithParam<end_case> {};

TEST_P(server_end, leaves_no_fifo_and_no_foreign_file_harmed)
{
    end_case const& c = GetParam();
    if (under_emulation && c.not_under_emulation != nullptr)
        GTEST_SKIP() << c.not_under_emulation;
    temp_dir dir;
    std::string const fifo = dir / "canal";
    unique_fd const err = open_fd(dir / "errors", O_WRONLY | O_CREAT | O_TRUNC);
    std::optional<running_server> s;
    std::optional<process> gone;
    std::vector<std::string> before;
    if (c.first_process) {
        before = in_pid_namespace();
        if (before.empty())
            GTEST_SKIP() << "this user cannot make a PID namespace (unshare --pid)";
    }
    unique_fd writer;
    if (c.out == output::gone || c.out == output::over_limit) {
        unique_fd const out = c.out == output::gone
                                  ? std::move(make_pipe()[1])
                                  : open_fd(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
        // Room for the error message, not for the first line, which holds the FIFO's path.
        if (c.out == output::over_limit)
            before = {"/usr/bin/prlimit", "--fsize=50"};
        gone.emplace(with(before, built(SERVER_PATH, {fifo})),
                     std::array<int, 3>{-1, out.get(), err.get()});
    } else {
        s.emplace(fifo, err.get(), before);
        if (c.out == output::gone_mid_session)
            s->out[0] = unique_fd{};
        // A session is under way while the path changes, unless the server is idle.
        if (!c.idle) {
            writer = open_fd(fifo, O_WRONLY);
            ASSERT_EQ(write(writer.get(), header_of(7).data(), 4), 4);
            if (c.out == output::pipe)
                s->until("client 7 : connecté");
        }
        std::string const replace = c.replace;
        if (!replace.empty()) {
            ASSERT_EQ(replace == "link" ? rename(fifo.c_str(), (fifo + ".moved").c_str())
                                        : unlink(fifo.c_str()),
                      0);
        }
        if (replace == "file")
            write_file(fifo, "keep");
        if (replace == "link") {
            ASSERT_EQ(symlink("canal.moved", fifo.c_str()), 0);
        }
        if (c.signal != 0)
            kill(c.first_process ? child_of(s->server.pid()) : s->server.pid(), c.signal);
        // The client leaves, but for a server that must stop with it still there.
        if (c.out == output::pipe)
            writer = unique_fd{};
    }
    EXPECT_EQ(outcome(s ? s->server.wait() : gone->wait()), c.status);
    std::string message = c.message.empty() ? "" : "command-server: " + c.message + "\n";
    if (auto at = message.find("{fifo}"); at != std::string::npos)
        message.replace(at, 6, fifo);
    EXPECT_EQ(own_errors(read_file(dir / "errors")), message);
    struct stat st {};
    bool const there = lstat(fifo.c_str(), &st) == 0;
    if (!c.file_kept) {
        EXPECT_FALSE(there) << "the FIFO was left behind";
    } else if (S_ISREG(st.st_mode)) {
        EXPECT_EQ(read_file(fifo), "keep");
    } else {
        EXPECT_TRUE(there && S_ISLNK(st.st_mode)) << "the link was removed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    ends, server_end,
    testing::Values(
        end_case{
            .name = "output_gone", .out = output::gone, .message = "sortie standard: Broken pipe"},
        end_case{.name = "output_gone_mid_session",
                 .out = output::gone_mid_session,
                 .message = "sortie standard: Broken pipe"},
        end_case{.name = "output_over_file_size_limit",
                 .out = output::over_limit,
                 .message = "sortie standard: File too large"},
        end_case{.name = "first_process_of_a_namespace",
                 .signal = SIGTERM,
                 .first_process = true,
                 .status = 128 + SIGTERM,
                 .not_under_emulation = "the emulator, as the first process of a PID namespace, "
                                        "does not end on SIGTERM"},
        end_case{.name = "path_replaced",
                 .replace = "file",
                 .message = "{fifo}: a été remplacé (ce n'est plus le tube du serveur)",
                 .file_kept = true},
        end_case{.name = "path_replaced_by_a_link_to_it",
                 .replace = "link",
                 .message = "{fifo}: a été remplacé (ce n'est plus le tube du serveur)",
                 .file_kept = true},
        end_case{.name = "path_replaced_then_signal",
                 .signal = SIGTERM,
                 .replace = "file",
                 .status = -SIGTERM,
                 .file_kept = true},
        end_case{.name = "fifo_removed", .replace = "none", .message = "{fifo}: a disparu"},
        end_case{.name = "fifo_removed_while_idle",
                 .replace = "none",
                 .idle = true,
                 .message = "{fifo}: a disparu"}),
    [](auto const& info) { return info.param.name; });

// Every signal whose default ends a process, by number up to SIGRTMAX, but SIGKILL, the two that
// the server ignores so that a refused write is reported, and the numbers that the C library
// keeps for itself.
std::vector<end_case> signal_ends()
{
    constexpr std::array not_ending{SIGKILL, SIGPIPE, SIGXFSZ, SIGCHLD, SIGCONT, SIGSTOP,
                                    SIGTSTP, SIGTTIN, SIGTTOU, SIGURG,  SIGWINCH};
    std::vector<end_case> cases;
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        if (std::ranges::find(not_ending, sig) != not_ending.end() ||
            (sig > SIGSYS && sig < SIGRTMIN))
            continue;
        cases.push_back(end_case{
            .name = sig < SIGRTMIN ? sigabbrev_np(sig) : "RTMIN_" + std::to_string(sig - SIGRTMIN),
            .signal = sig,
            .status = -sig,
            .not_under_emulation = sig >= SIGRTMAX - 1
                                       ? "the emulator keeps the two highest signals for itself"
                                       : nullptr});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(signals, server_end, testing::ValuesIn(signal_ends()),
                         [](auto const& info) { return info.param.name; });

// What jq makes of the server's JSON Lines, or "" and a failure if it cannot read them.
std::string read_by_jq(temp_dir const& dir, std::string const& json, std::string const& program)
{
    write_file(dir / "events.json", json);
    unique_fd const in = open_fd(dir / "events.json", O_RDONLY);
    unique_fd const out = open_fd(dir / "jq.out", O_WRONLY | O_CREAT | O_TRUNC);
    process jq{{"/usr/bin/jq", "-r", program}, {in.get(), out.get(), 2}};
    EXPECT_EQ(outcome(jq.wait()), 0) << "jq could not read:\n" << json;
    return read_file(dir / "jq.out");
}

// Every byte of a line comes back through a JSON parser: as text where it is UTF-8 (quotes,
// backslashes, controls, DEL and C1 controls escaped), in base64 where it is not.
TEST(server, json_gives_back_every_byte)
{
    if (access("/usr/bin/jq", X_OK) != 0)
        GTEST_SKIP() << "jq is not installed (Debian package jq)";
    temp_dir dir;
    running_server s{dir / "canal", 2, {}, true};
    std::string const text =
        "\"q\\\\\\t\x01\x1b[2J\x7f\xc2\x9b\xc2\xa0 é \xf0\x9f\x98\x80 \xef\xbf\xbf";
    std::string const bytes = "\xff\xfe\xc0\x80\xed\xa0\x80 é";
    s.send(header_of(7) + text + "\n" + bytes + "\nctrld");
    s.until(R"("clean":true})");
    EXPECT_EQ(read_by_jq(dir, s.seen, "select(.line) | .line"), text + "\n");
    write_file(dir / "base64", read_by_jq(dir, s.seen, "select(.line_base64) | .line_base64"));
    unique_fd const encoded = open_fd(dir / "base64", O_RDONLY);
    unique_fd const decoded = open_fd(dir / "decoded", O_WRONLY | O_CREAT | O_TRUNC);
    process base64{{"/usr/bin/base64", "-d"}, {encoded.get(), decoded.get(), 2}};
    EXPECT_EQ(outcome(base64.wait()), 0);
    EXPECT_EQ(read_file(dir / "decoded"), bytes);
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
}

// One event a line, as "connected 17664 false", "command null from 10", "end null true".
std::string events_of_plain(std::string const& printed)
{
    std::istringstream lines{printed};
    std::string events;
    for (std::string line; std::getline(lines, line);) {
        std::size_t const colon = line.find(" : ");
        std::string who = line.substr(0, colon);
        std::string const what = line.substr(colon + 3);
        if (who == "serveur")
            continue;
        who = who.starts_with("client ") ? who.substr(7) : "null";
        if (what.starts_with("connecté"))
            events +=
                "connected " + who + (what.ends_with("(flux mêlés)") ? " true\n" : " false\n");
        else if (what == "fin (ctrld)" || what.starts_with("disparu"))
            events += "end " + who + (what == "fin (ctrld)" ? " true\n" : " false\n");
        else
            events += "command " + who + " " + what + "\n";
    }
    return events;
}

class crowd : public testing::TestWithParam<bool> {};

// Clients started together, with ids that a reader may take for others (multiples of 256, one
// below 256 that is a newline byte, neighbours), while the server is stopped, so that their
// headers come back to back: each id is found and each line and clean end is seen, none
// invented. Another writer keeps the FIFO open, so that a lone client that comes once all have
// ended is in the same stream: it gets its id again.
TEST_P(crowd, clients_started_together_are_each_found)
{
    bool const json = GetParam();
    if (json && access("/usr/bin/jq", X_OK) != 0)
        GTEST_SKIP() << "jq is not installed (Debian package jq)";
    // A shell that chooses the next process id, in a PID namespace of its own.
    std::vector<std::string> const in_namespace =
        in_pid_namespace({"/bin/sh", "-c", "echo 99 > /proc/sys/kernel/ns_last_pid"});
    if (in_namespace.empty())
        GTEST_SKIP() << "this user cannot choose process ids (unshare -r --pid, ns_last_pid)";
    temp_dir dir;
    running_server s{dir / "canal", 2, {}, json};
    unique_fd const holder = open_fd(s.fifo, O_WRONLY);
    std::vector<int> const ids{17664, 2560, 10, 6763, 6764};
    std::string list;
    for (int const id : ids) {
        write_file(dir / std::to_string(id), "from " + std::to_string(id) + "\n");
        list += std::to_string(id) + " ";
    }
    write_file(dir / "256", "alone\n");
    std::string const script =
        "for id in " + list +
        "; do echo $((id - 1)) > /proc/sys/kernel/ns_last_pid; "
        "\"$@\" < $id > /dev/null & done; wait; echo 255 > /proc/sys/kernel/ns_last_pid; "
        "\"$@\" < 256 > /dev/null & wait";
    kill(s.server.pid(), SIGSTOP);
    unique_fd const null = open_fd("/dev/null", O_RDWR);
    process clients{
        with(in_namespace, with({"/bin/sh", "-c", script, "sh"}, built(CLIENT_PATH, {s.fifo}))),
        {null.get(), null.get(), 2},
        {},
        dir.path()};
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(s.server.pid(), SIGCONT);
    EXPECT_EQ(outcome(clients.wait()), 0);
    s.until(json ? R"({"event":"end","pid":256,"clean":true})" : "client 256 : fin (ctrld)");

    std::string const events =
        json
            ? read_by_jq(
                  dir, s.seen,
                  R"jq(select(.event != "listening") | "\(.event) \(.pid) \(if .event == "command" )jq"
                  R"jq(then .line elif .event == "connected" then .mixed else .clean end)")jq")
            : events_of_plain(s.seen);
    std::istringstream lines{events};
    std::vector<std::string> crowd_events(3 * ids.size());
    for (auto& line : crowd_events)
        std::getline(lines, line);
    std::string const first = crowd_events[0];
    std::ranges::sort(crowd_events);
    std::vector<std::string> wanted;
    for (int const id : ids) {
        std::string const connected = "connected " + std::to_string(id);
        wanted.push_back(first == connected + " false" ? first : connected + " true");
        wanted.push_back("command null from " + std::to_string(id));
        wanted.emplace_back("end null true");
    }
    std::ranges::sort(wanted);
    EXPECT_EQ(crowd_events, wanted) << events;
    std::string const rest{std::istreambuf_iterator<char>{lines}, {}};
    EXPECT_EQ(rest, "connected 256 false\ncommand 256 alone\nend 256 true\n") << events;
    kill(s.server.pid(), SIGTERM);
    EXPECT_EQ(outcome(s.server.wait()), -SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(outputs, crowd, testing::Bool(),
                         [](auto const& info) { return info.param ? "json" : "plain"; });

} // namespace

// End-to-end runs of the built client on real FIFOs, files and standard streams. Each run pauses
// 2 s, so every row is its own test case and CTest runs them side by side.

#include "harness.hpp"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::string_literals;
using namespace harness;

namespace {

std::string const prompt = "Saisir la commande a envoyer au serveur :";
std::string const marker = "ctrld";

enum class channel { fifo, stale_file, missing, directory, unwritable, full, none };
enum class stream { file, closed, directory, full };

struct run_case {
    char const* name = "";
    std::string input{};
    std::string sent{}; // what the channel carries between the header and the end marker
    int prompts = 0;    // silent: nothing at all on standard output; unchecked
    channel chan = channel::fifo;
    stream in = stream::file;
    stream out = stream::file;
    int status = -SIGKILL; // negative: killed by that signal
    std::string message{}; // standard error, with {path} for the channel's path
    bool marker = true;
    char const* faults = nullptr; // the write shim's trouble; "" watches the writes only
    reader_pace pace{};           // how the FIFO's reader takes the stream
};

constexpr int silent = -1;
constexpr int unchecked = -2;

void PrintTo(run_case const& c, std::ostream* os)
{
    *os << c.name;
}

std::string expected_console(int pid, int prompts)
{
    std::string text = prompts < 0 ? "" : "voici mon pid : " + std::to_string(pid) + "\n";
    for (int n = 0; n < prompts; ++n)
        text += prompt;
    return text;
}

testing::AssertionResult same_bytes(std::string const& got, std::string const& wanted)
{
    if (got == wanted)
        return testing::AssertionSuccess();
    auto const at = std::mismatch(got.begin(), got.end(), wanted.begin(), wanted.end()).first;
    return testing::AssertionFailure() << got.size() << " bytes, not " << wanted.size()
                                       << ", first difference at " << at - got.begin();
}

// The shim logs "<asked> <result>" for each write on the channel: none may ask more than a
// console read holds, and a troubled run must really have met trouble.
void expect_writes_whole_and_troubled(std::string const& log, bool troubled)
{
    std::istringstream lines{log};
    long asked = 0;
    long result = 0;
    long most = 0;
    bool met = false;
    while (lines >> asked >> result) {
        most = std::max(most, asked);
        met = met || result != asked;
    }
    EXPECT_LE(most, 199);
    EXPECT_EQ(met, troubled) << "trouble met on the channel";
}

int outcome(int status)
{
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

unique_fd open_stream(stream kind, std::string const& file, int flags)
{
    switch (kind) {
    case stream::file:
        return open_fd(file, flags);
    case stream::directory:
        return open_fd("/tmp", O_RDONLY | O_DIRECTORY);
    case stream::full:
        return open_fd("/dev/full", O_WRONLY);
    case stream::closed:
        break;
    }
    return unique_fd{};
}

class client_run : public testing::TestWithParam<run_case> {};

TEST_P(client_run, ends_as_documented)
{
    run_case const& c = GetParam();
    temp_dir dir;
    std::string path = dir / "canal";
    std::optional<fifo_reader> reader;
    switch (c.chan) {
    case channel::fifo:
        make_fifo(path);
        reader.emplace(path, c.pace);
        break;
    case channel::stale_file:
        write_file(path, std::string(300, 'x'));
        break;
    case channel::directory:
        mkdir(path.c_str(), 0755);
        break;
    case channel::unwritable:
        chmod(dir.path().c_str(), 0755);
        write_file(path, "");
        chmod(path.c_str(), 0444);
        break;
    case channel::full:
        path = "/dev/full";
        break;
    case channel::missing:
    case channel::none:
        break;
    }
    write_file(dir / "input", c.input);
    unique_fd const in = open_stream(c.in, dir / "input", O_RDONLY);
    unique_fd const out = open_stream(c.out, dir / "output", O_WRONLY | O_CREAT | O_TRUNC);
    unique_fd const err = open_fd(dir / "errors", O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::string> argv{CLIENT_PATH};
    if (c.chan != channel::none)
        argv.push_back(path);

    spawn_options options{.env = {"LC_ALL=C"}, .as_nobody = c.chan == channel::unwritable};
    if (c.faults != nullptr)
        options.env.insert(options.env.end(),
                           {"LD_PRELOAD="s + WRITE_FAULTS_PATH, "WRITE_FAULTS="s + c.faults,
                            "WRITE_FAULTS_LOG=" + dir / "faults",
                            "ASAN_OPTIONS=verify_asan_link_order=0"});
    process client{argv, {in.get(), out.get(), err.get()}, options};
    int const status = client.wait();

    EXPECT_EQ(outcome(status), c.status);
    std::string message = c.message;
    if (auto at = message.find("{path}"); at != std::string::npos)
        message.replace(at, 6, path);
    EXPECT_EQ(read_file(dir / "errors"), message);
    if (c.out == stream::file && c.prompts != unchecked) {
        EXPECT_EQ(read_file(dir / "output"), expected_console(client.pid(), c.prompts));
    }
    std::string const stream =
        (header_of(client.pid()) + c.sent + (c.marker ? marker : "")).substr(0, c.pace.leave_after);
    if (reader) {
        EXPECT_TRUE(same_bytes(reader->finish(), stream));
    }
    if (c.chan == channel::stale_file) {
        EXPECT_TRUE(same_bytes(read_file(path), stream));
    }
    if (c.faults != nullptr) {
        expect_writes_whole_and_troubled(read_file(dir / "faults"), *c.faults != '\0');
    }
    if (c.chan == channel::missing) {
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the client created its channel";
    }
}

std::string repeat(std::string const& text, int times)
{
    std::string all;
    for (int n = 0; n < times; ++n)
        all += text;
    return all;
}

std::string const long_line = std::string(450, 'a') + "\n";
std::string const many_lines = repeat("ls -la /tmp\n", 120);
std::string const full_read = std::string(199, 'b') + "\n";
std::string const megabytes = repeat(std::string(99, 'm') + "\n" + long_line, 7000);

// Every byte value, CR and NUL among them, then a 1 MiB line with no newline.
std::string binary_mix()
{
    std::mt19937 random{7};
    std::string bytes;
    for (int n = 0; n < 300'000; ++n)
        bytes += static_cast<char>(random());
    for (int n = 0; n < (1 << 20); ++n) {
        auto const c = static_cast<char>(random());
        bytes += c == '\n' ? '\r' : c;
    }
    return bytes;
}

std::string without_nuls(std::string bytes)
{
    std::erase(bytes, '\0');
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    streams, client_run,
    testing::Values(
        run_case{.name = "input_ends_at_once", .prompts = 1},
        run_case{.name = "two_lines", .input = "ab\nabcd\n", .sent = "ab\nabcd\n", .prompts = 3},
        run_case{.name = "empty_line", .input = "\n", .sent = "\n", .prompts = 2},
        run_case{.name = "long_line_in_three_reads",
                 .input = long_line,
                 .sent = long_line,
                 .prompts = 4},
        run_case{.name = "line_of_199_then_its_newline",
                 .input = full_read,
                 .sent = full_read,
                 .prompts = 3},
        run_case{.name = "last_line_without_newline", .input = "abc", .sent = "abc", .prompts = 2},
        run_case{.name = "typed_marker_keeps_its_newline",
                 .input = "ctrld\n",
                 .sent = "ctrld\n",
                 .prompts = 2},
        run_case{.name = "nul_is_dropped_not_the_rest",
                 .input = "ls\0 -la\n"s,
                 .sent = "ls -la\n",
                 .prompts = 2},
        run_case{.name = "nul_does_not_glue_commands",
                 .input = "ls\0\npwd\n"s,
                 .sent = "ls\npwd\n",
                 .prompts = 3},
        run_case{.name = "only_nuls_send_nothing", .input = "\0\0"s, .prompts = 2},
        run_case{.name = "regular_file_is_truncated",
                 .input = "ls\n",
                 .sent = "ls\n",
                 .prompts = 2,
                 .chan = channel::stale_file},
        run_case{.name = "short_writes_are_completed",
                 .input = long_line + many_lines,
                 .sent = long_line + many_lines,
                 .prompts = 124,
                 .faults = "short"},
        run_case{.name = "interrupted_writes_are_retried",
                 .input = long_line + many_lines,
                 .sent = long_line + many_lines,
                 .prompts = 124,
                 .faults = "eintr"},
        run_case{.name = "binary_input_loses_only_its_nuls",
                 .input = binary_mix(),
                 .sent = without_nuls(binary_mix()),
                 .prompts = unchecked,
                 .faults = ""},
        run_case{.name = "failed_write_stops_the_run",
                 .input = "ls\npwd\nwho\n",
                 .sent = "ls\n",
                 .prompts = 2,
                 .status = 1,
                 .message = "client: {path}: Input/output error\n",
                 .marker = false,
                 .faults = "eio"},
        run_case{.name = "write_that_takes_nothing_stops_the_run",
                 .input = "ls\npwd\nwho\n",
                 .sent = "ls\n",
                 .prompts = 2,
                 .status = 1,
                 .message = "client: {path}: Input/output error\n",
                 .marker = false,
                 .faults = "zero"}),
    [](auto const& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    refusals, client_run,
    testing::Values(run_case{.name = "no_argument",
                             .prompts = silent,
                             .chan = channel::none,
                             .status = 2,
                             .message = "usage : client canal\n"},
                    run_case{.name = "missing_channel",
                             .prompts = silent,
                             .chan = channel::missing,
                             .status = 1,
                             .message = "client: {path}: No such file or directory\n"},
                    run_case{.name = "directory_channel",
                             .prompts = silent,
                             .chan = channel::directory,
                             .status = 1,
                             .message = "client: {path}: Is a directory\n"},
                    run_case{.name = "unwritable_channel",
                             .prompts = silent,
                             .chan = channel::unwritable,
                             .status = 1,
                             .message = "client: {path}: Permission denied\n"},
                    run_case{.name = "channel_refuses_writes",
                             .input = "ls\n",
                             .prompts = silent,
                             .chan = channel::full,
                             .status = 1,
                             .message = "client: /dev/full: No space left on device\n"}),
    [](auto const& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    standard_streams, client_run,
    testing::Values(run_case{.name = "stdout_closed_keeps_channel_clean",
                             .input = many_lines,
                             .sent = many_lines,
                             .prompts = silent,
                             .out = stream::closed},
                    run_case{
                        .name = "stdin_closed_is_end_of_input", .prompts = 1, .in = stream::closed},
                    run_case{.name = "stdin_read_error_still_ends_stream",
                             .prompts = 1,
                             .in = stream::directory,
                             .status = 1,
                             .message = "client: entrée standard: Is a directory\n"},
                    run_case{.name = "stdout_full_is_reported",
                             .input = "ls\n",
                             .sent = "ls\n",
                             .prompts = silent,
                             .out = stream::full,
                             .status = 1,
                             .message = "client: sortie standard: No space left on device\n"}),
    [](auto const& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(readers, client_run,
                         testing::Values(run_case{.name = "slow_reader_loses_nothing",
                                                  .input = megabytes.substr(0, 300'000),
                                                  .sent = megabytes.substr(0, 300'000),
                                                  .prompts = unchecked,
                                                  .pace = {.read_size = 4096,
                                                           .pause = std::chrono::milliseconds(1)}},
                                         run_case{.name = "reader_gone_before_first_command",
                                                  .input = many_lines,
                                                  .prompts = 1,
                                                  .status = -SIGPIPE,
                                                  .pace = {.leave_after = 4}},
                                         run_case{.name = "reader_gone_midway",
                                                  .input = megabytes,
                                                  .sent = megabytes,
                                                  .prompts = unchecked,
                                                  .status = -SIGPIPE,
                                                  .pace = {.leave_after = 1 << 20}}),
                         [](auto const& info) { return info.param.name; });

// Over pipes, as a program driving the client sees it: each prompt arrives before the client
// waits for the line that answers it.
TEST(console, each_prompt_is_out_before_the_client_waits)
{
    temp_dir dir;
    make_fifo(dir / "canal");
    fifo_reader reader{dir / "canal"};
    auto in = make_pipe();
    auto out = make_pipe();
    process client{{CLIENT_PATH, dir / "canal"}, {in[0].get(), out[1].get(), 2}};
    in[0] = unique_fd{};
    out[1] = unique_fd{};

    std::string seen = read_until(out[0].get(), prompt);
    ASSERT_NE(seen.find(prompt), std::string::npos) << "first prompt never came";
    ASSERT_EQ(write(in[1].get(), "ls\n", 3), 3);
    seen = read_until(out[0].get(), prompt + prompt, seen);
    EXPECT_NE(seen.find(prompt + prompt), std::string::npos) << "second prompt never came";
    in[1] = unique_fd{};

    EXPECT_EQ(outcome(client.wait()), -SIGKILL);
    EXPECT_EQ(reader.finish(), header_of(client.pid()) + "ls\n" + marker);
}

TEST(channel, client_waits_for_a_reader_then_pauses_before_announcing)
{
    temp_dir dir;
    make_fifo(dir / "canal");
    auto out = make_pipe();
    process client{{CLIENT_PATH, dir / "canal"}, {-1, out[1].get(), 2}};
    out[1] = unique_fd{};

    pollfd quiet{out[0].get(), POLLIN, 0};
    EXPECT_EQ(poll(&quiet, 1, 500), 0) << "the client spoke before the server was there";
    fifo_reader reader{dir / "canal"};
    std::string const console = read_until(out[0].get(), prompt);
    auto const announced = clock::now();

    EXPECT_EQ(console, expected_console(client.pid(), 1));
    EXPECT_EQ(outcome(client.wait()), -SIGKILL);
    EXPECT_EQ(reader.finish(), header_of(client.pid()) + marker);
    EXPECT_GE(announced - reader.first_byte(), std::chrono::milliseconds(1900));
}

TEST(terminal, session_echoes_and_ends_on_ctrl_d)
{
    temp_dir dir;
    make_fifo(dir / "canal");
    fifo_reader reader{dir / "canal"};
    int terminal = -1;
    std::string const path = dir / "canal";
    pid_t const pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(CLIENT_PATH, CLIENT_PATH, path.c_str(), nullptr);
        _exit(127);
    }
    unique_fd const master{terminal};

    std::string screen = read_until(master.get(), prompt);
    EXPECT_NE(screen.find("voici mon pid : " + std::to_string(pid) + "\r\n" + prompt),
              std::string::npos);
    ASSERT_EQ(write(master.get(), "ls -la\n", 7), 7);
    screen = read_until(master.get(), "ls -la\r\n" + prompt, screen);
    EXPECT_NE(screen.find(prompt + "ls -la\r\n" + prompt), std::string::npos) << screen;
    ASSERT_EQ(write(master.get(), "\x04", 1), 1);

    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(outcome(status), -SIGKILL);
    EXPECT_EQ(reader.finish(), header_of(pid) + "ls -la\n" + marker);
}

} // namespace

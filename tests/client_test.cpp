// End-to-end runs of the built client on real FIFOs, files and standard streams. Each run pauses
// 2 s, so every row is its own test case and CTest runs them side by side.

#include "harness.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;
using namespace harness;

namespace {

std::string const prompt = "Saisir la commande a envoyer au serveur :";
std::string const marker = "ctrld";

enum class channel { fifo, stale_file, missing, full, none };
// idle_pipe: a non-blocking pipe that holds the input, then stays empty for a while;
// gone_pipe: a pipe whose reader has gone; slow_pipe: a non-blocking pipe of one page whose
// reader waits a while once output has come.
enum class stream { file, closed, directory, full, idle_pipe, gone_pipe, slow_pipe };

struct run_case {
    char const* name = "";
    std::string input{};
    std::string sent{}; // what the channel carries between the header and the end marker
    int prompts = 0;    // silent: nothing at all on standard output; unchecked
    channel chan = channel::fifo;
    std::string channel_name = "canal";
    stream in = stream::file;
    stream out = stream::file;
    stream err = stream::file;
    bool extra_argument = false;
    bool french = false;      // under a French locale
    bool small_stack = false; // under a 16 KiB stack limit
    int file_limit = 0;       // if not 0, the most bytes the client may write to any file
    int status = -SIGKILL;    // negative: killed by that signal
    std::string message{}; // standard error, with {path} for the channel's path, {dir} its folder
    bool marker = true;
    bool pauses = true;
    char const* faults = nullptr;         // the write shim's trouble; "" watches the writes only
    std::size_t reader_leaves = SIZE_MAX; // the FIFO's reader closes it after this many bytes
    char const* not_under_emulation = nullptr; // why, if an emulator cannot run it
};

constexpr int silent = -1;
constexpr int unchecked = -2;
// What an idle standard input gives once it has kept the client waiting.
std::string const later = "pwd\n";

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

// The shim logs "<fd> <asked> <result>" for each write on a pipe and each read of standard
// input: none on the channel may ask more than a console read holds, and a troubled run must
// really have met trouble. A console that met a full pipe or an empty input must have waited,
// not tried again and again, and prompts go out in blocks, not one write each.
void expect_writes_whole_and_troubled(std::string const& log, bool troubled)
{
    std::istringstream lines{log};
    int fd = 0;
    long asked = 0;
    long result = 0;
    long most = 0;
    bool met = false;
    std::array<int, 2> refused{};
    int console_writes = 0;
    long most_on_console = 0;
    while (lines >> fd >> asked >> result) {
        if (fd == STDIN_FILENO || fd == STDOUT_FILENO) {
            refused.at(fd) += result < 0 ? 1 : 0;
            if (fd == STDOUT_FILENO) {
                console_writes += result > 0 ? 1 : 0;
                most_on_console = std::max(most_on_console, asked);
            }
            continue;
        }
        most = std::max(most, asked);
        met = met || result != asked;
    }
    EXPECT_LE(most, 199);
    EXPECT_EQ(met, troubled) << "trouble met on the channel";
    EXPECT_LT(refused[STDIN_FILENO], 100) << "the console spun on an empty input";
    EXPECT_LT(refused[STDOUT_FILENO], 100) << "the console spun on a full pipe";
    EXPECT_LT(console_writes, 50) << "prompts were written one by one";
    EXPECT_LE(most_on_console, 16384) << "the console's output overran its 16 KiB buffer";
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
    case stream::gone_pipe:
        return std::move(make_pipe()[1]);
    case stream::closed:
    case stream::idle_pipe:
    case stream::slow_pipe:
        break;
    }
    return unique_fd{};
}

// Builds a French locale in dir, so that the test needs none installed; false if it cannot.
bool make_french_locale(std::string const& dir)
{
    if (access("/usr/bin/localedef", X_OK) != 0 ||
        access("/usr/share/i18n/charmaps/UTF-8.gz", R_OK) != 0 ||
        access("/usr/share/locale/fr/LC_MESSAGES/libc.mo", R_OK) != 0)
        return false;
    unique_fd const null = open_fd("/dev/null", O_RDWR);
    // The locale's files are in the byte order of the machine that built them, which is not
    // always the one that runs the client (an emulator's).
    std::vector<std::string> argv{"/usr/bin/localedef", "-i", "fr_FR", "-f", "UTF-8"};
    if constexpr (std::endian::native == std::endian::big)
        argv.emplace_back("--big-endian");
    argv.push_back(dir + "/fr_FR.UTF-8");
    process localedef{argv, {null.get(), null.get(), null.get()}};
    return localedef.wait() == 0;
}

// Feeds `input` at once and `later` after the client has had time to find the pipe empty.
std::thread feed_idle_pipe(unique_fd& client_end, std::string const& input)
{
    auto pipe = make_pipe();
    fcntl(pipe[0].get(), F_SETFL, O_NONBLOCK);
    client_end = std::move(pipe[0]);
    EXPECT_EQ(write(pipe[1].get(), input.data(), input.size()), std::ssize(input));
    return std::thread{[feed = std::move(pipe[1])] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        EXPECT_EQ(write(feed.get(), later.data(), later.size()), std::ssize(later));
    }};
}

// Reads what comes on a one-page pipe into `read`, but only a second after it started coming.
std::thread drain_slow_pipe(unique_fd& client_end, std::string& read)
{
    auto pipe = make_pipe();
    fcntl(pipe[1].get(), F_SETPIPE_SZ, 4096);
    fcntl(pipe[1].get(), F_SETFL, O_NONBLOCK);
    client_end = std::move(pipe[1]);
    return std::thread{[drain = std::move(pipe[0]), &read] {
        pollfd ready{drain.get(), POLLIN, 0};
        poll(&ready, 1, -1);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        read = read_all(drain.get());
    }};
}

class client_run : public testing::TestWithParam<run_case> {};

TEST_P(client_run, ends_as_documented)
{
    run_case const& c = GetParam();
    if (under_emulation && c.not_under_emulation != nullptr)
        GTEST_SKIP() << c.not_under_emulation;
    temp_dir dir;
    std::string path = dir / c.channel_name;
    std::optional<fifo_reader> reader;
    switch (c.chan) {
    case channel::fifo:
        make_fifo(path);
        reader.emplace(path, c.reader_leaves);
        break;
    case channel::stale_file:
        write_file(path, std::string(300, 'x'));
        break;
    case channel::full:
        path = "/dev/full";
        break;
    case channel::missing:
    case channel::none:
        break;
    }
    write_file(dir / "input", c.input);
    unique_fd in = open_stream(c.in, dir / "input", O_RDONLY);
    std::thread feeder;
    if (c.in == stream::idle_pipe)
        feeder = feed_idle_pipe(in, c.input);
    unique_fd out = open_stream(c.out, dir / "output", O_WRONLY | O_CREAT | O_TRUNC);
    std::string slowly_read;
    std::thread drainer;
    if (c.out == stream::slow_pipe)
        drainer = drain_slow_pipe(out, slowly_read);
    unique_fd const err = open_stream(c.err, dir / "errors", O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<std::string> args;
    if (c.chan != channel::none)
        args.push_back(path);
    if (c.extra_argument)
        args.emplace_back("extra");
    std::vector<std::string> argv = built(CLIENT_PATH, args);
    if (c.small_stack) {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "AddressSanitizer needs more stack than the client";
#endif
        // The environment lies on the stack too: keep it small, so that the limit is the client's.
        argv.insert(argv.begin(), {"/usr/bin/env", "-i", "LC_ALL=C", "/bin/sh", "-c",
                                   "ulimit -s 16 && exec \"$0\" \"$@\""});
    }
    if (c.file_limit != 0)
        argv.insert(argv.begin(), {"/usr/bin/prlimit", "--fsize=" + std::to_string(c.file_limit)});

    std::vector<std::string> env;
    if (c.french) {
        if (!make_french_locale(dir.path()))
            GTEST_SKIP() << "no French locale can be built here (it needs localedef and the "
                            "Debian packages locales and libc-l10n)";
        env = {"LC_ALL=fr_FR.UTF-8", "LANGUAGE=fr", "LOCPATH=" + dir.path()};
    }
    if (c.faults != nullptr)
        env.insert(env.end(),
                   {"LD_PRELOAD="s + WRITE_FAULTS_PATH, "WRITE_FAULTS="s + c.faults,
                    "WRITE_FAULTS_LOG=" + dir / "faults", "ASAN_OPTIONS=verify_asan_link_order=0"});
    auto const started = clock::now();
    process client{argv, {in.get(), out.get(), err.get()}, env};
    out = unique_fd{};
    int const status = client.wait();
    auto const took = clock::now() - started;
    if (feeder.joinable())
        feeder.join();
    if (drainer.joinable())
        drainer.join();

    EXPECT_EQ(outcome(status), c.status);
    // A run that must not pause stops at its open or its header, before the pause, as its status,
    // message and silent console show; a time bound on that side would measure only the load.
    if (c.pauses) {
        EXPECT_GE(took, std::chrono::seconds(2)) << "the 2 s pause";
    }
    std::string message = c.message;
    if (auto at = message.find("{path}"); at != std::string::npos)
        message.replace(at, 6, path);
    if (auto at = message.find("{dir}"); at != std::string::npos)
        message.replace(at, 5, dir.path());
    if (c.err == stream::file) {
        EXPECT_EQ(read_file(dir / "errors"), message);
    }
    if (c.out == stream::file && c.prompts != unchecked) {
        EXPECT_EQ(read_file(dir / "output"), expected_console(client.pid(), c.prompts));
    }
    if (c.out == stream::slow_pipe) {
        EXPECT_EQ(slowly_read, expected_console(client.pid(), c.prompts));
    }
    std::string const stream =
        (header_of(client.pid()) + c.sent + (c.marker ? marker : "")).substr(0, c.reader_leaves);
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
// Enough prompts to fill the console's output buffer more than once.
std::string const many_lines = repeat("ls -la /tmp\n", 500);

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
    testing::Values(run_case{.name = "typed_marker_keeps_its_newline",
                             .input = "ctrld\n",
                             .sent = "ctrld\n",
                             .prompts = 2},
                    run_case{.name = "only_nuls_send_nothing", .input = "\0\0"s, .prompts = 2},
                    run_case{.name = "regular_file_is_truncated",
                             .input = "ls\n",
                             .sent = "ls\n",
                             .prompts = 2,
                             .chan = channel::stale_file},
                    run_case{.name = "extra_argument_is_ignored",
                             .input = "ls\n",
                             .sent = "ls\n",
                             .prompts = 2,
                             .extra_argument = true},
                    run_case{.name = "short_writes_are_completed",
                             .input = long_line + many_lines,
                             .sent = long_line + many_lines,
                             .prompts = 504,
                             .faults = "short"},
                    run_case{.name = "interrupted_reads_and_writes_are_retried",
                             .input = long_line + many_lines,
                             .sent = long_line + many_lines,
                             .prompts = 504,
                             .faults = "eintr"},
                    run_case{.name = "binary_input_loses_only_its_nuls",
                             .input = binary_mix(),
                             .sent = without_nuls(binary_mix()),
                             .prompts = unchecked,
                             .faults = ""},
                    run_case{.name = "small_stack_is_enough",
                             .input = "ls\n",
                             .sent = "ls\n",
                             .prompts = 2,
                             .small_stack = true,
                             .not_under_emulation = "the emulator needs more stack than that"},
                    run_case{.name = "refused_end_marker_is_reported",
                             .input = "ls\n",
                             .sent = "ls\n",
                             .prompts = 2,
                             .status = 1,
                             .message = "client: {path}: Input/output error\n",
                             .marker = false,
                             .faults = "eio@2"},
                    run_case{.name = "write_that_takes_nothing_stops_the_run",
                             .input = "ls\npwd\nwho\n",
                             .sent = "ls\n",
                             .prompts = 2,
                             .status = 1,
                             .message = "client: {path}: Input/output error\n",
                             .marker = false,
                             .faults = "zero@2"},
                    run_case{.name = "channel_file_over_size_limit_stops_the_run",
                             .input = many_lines,
                             .sent = many_lines.substr(0, 2048 - 4),
                             .prompts = unchecked,
                             .chan = channel::stale_file,
                             .file_limit = 2048,
                             .status = 1,
                             .message = "client: {path}: File too large\n",
                             .marker = false}),
    [](auto const& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    refusals, client_run,
    testing::Values(
        run_case{.name = "no_argument",
                 .prompts = silent,
                 .chan = channel::none,
                 .status = 2,
                 .message = "Utilisation : client canal\n",
                 .pauses = false},
        run_case{.name = "missing_channel",
                 .prompts = silent,
                 .chan = channel::missing,
                 .status = 1,
                 .message = "client: {path}: No such file or directory\n",
                 .pauses = false},
        run_case{.name = "path_is_shown_escaped",
                 .prompts = silent,
                 .chan = channel::missing,
                 .channel_name = "no\x1b]0;T\a\r\nx\xc2\x9b\xff é",
                 .status = 1,
                 .message = "client: {dir}/no\\x1b]0;T\\x07\\x0d\\x0ax\\xc2\\x9b\\xff é: "
                            "No such file or directory\n",
                 .pauses = false},
        run_case{.name = "reason_in_the_users_language",
                 .prompts = silent,
                 .chan = channel::full,
                 .french = true,
                 .status = 1,
                 .message = "client: /dev/full: Aucun espace disponible sur le périphérique\n",
                 .pauses = false},
        run_case{.name = "channel_refuses_writes",
                 .input = "ls\n",
                 .prompts = silent,
                 .chan = channel::full,
                 .status = 1,
                 .message = "client: /dev/full: No space left on device\n",
                 .pauses = false}),
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
                    // The message of a refused write must not land on the channel.
                    run_case{.name = "stderr_closed_keeps_channel_clean",
                             .input = "ls\npwd\n",
                             .prompts = 1,
                             .err = stream::closed,
                             .status = 1,
                             .marker = false,
                             .faults = "eio@1"},
                    run_case{.name = "stdin_idle_is_waited_for",
                             .input = "ls\n",
                             .sent = "ls\n" + later,
                             .prompts = 3,
                             .in = stream::idle_pipe,
                             .faults = ""},
                    run_case{.name = "stdin_read_error_still_ends_stream",
                             .prompts = 1,
                             .in = stream::directory,
                             .status = 1,
                             .message = "client: entrée standard: Is a directory\n"},
                    run_case{.name = "stdout_gone_costs_no_command",
                             .input = "ls\npwd\n",
                             .sent = "ls\npwd\n",
                             .out = stream::gone_pipe,
                             .status = 1,
                             .message = "client: sortie standard: Broken pipe\n"},
                    run_case{.name = "stdout_full_pipe_is_waited_for",
                             .input = many_lines,
                             .sent = many_lines,
                             .prompts = 501,
                             .out = stream::slow_pipe,
                             .faults = ""},
                    run_case{.name = "stdout_full_is_reported",
                             .input = "ls\n",
                             .sent = "ls\n",
                             .prompts = silent,
                             .out = stream::full,
                             .status = 1,
                             .message = "client: sortie standard: No space left on device\n"},
                    run_case{.name = "stdout_over_file_size_limit_is_reported",
                             .input = many_lines,
                             .sent = many_lines,
                             .prompts = unchecked,
                             .file_limit = 2048,
                             .status = 1,
                             .message = "client: sortie standard: File too large\n"}),
    [](auto const& info) { return info.param.name; });

// The channel's reader gone still ends the run by SIGPIPE, also when the console's has gone too.
INSTANTIATE_TEST_SUITE_P(readers, client_run,
                         testing::Values(run_case{.name = "reader_gone_before_first_command",
                                                  .input = many_lines,
                                                  .out = stream::gone_pipe,
                                                  .status = -SIGPIPE,
                                                  .reader_leaves = 4}),
                         [](auto const& info) { return info.param.name; });

// The options are answered at once, without opening a file of that name; any other spelling is
// a path, and a file named --help is a channel as ./--help.
TEST(options, are_answered_without_opening_anything)
{
    temp_dir dir;
    for (auto const& [arg, answer] :
         {std::pair{"--help", "Utilisation : client canal\n"},
          std::pair{"--version", "client " VERSION "\n"}, std::pair{"./--help", ""}}) {
        write_file(dir / "--help", "keep");
        write_file(dir / "--version", "keep");
        unique_fd const out = open_fd(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
        unique_fd const err = open_fd(dir / "err", O_WRONLY | O_CREAT | O_TRUNC);
        unique_fd const in = open_fd("/dev/null", O_RDONLY);
        auto const started = clock::now();
        process client{built(CLIENT_PATH, {arg}), {in.get(), out.get(), err.get()}, {}, dir.path()};
        int const status = client.wait();
        bool const option = *answer != '\0';
        EXPECT_EQ(outcome(status), option ? 0 : -SIGKILL) << arg;
        // An option skips the pause, which comes after the header: the files stay untouched. A
        // time bound on that side would only measure how loaded the machine is.
        if (!option) {
            EXPECT_GE(clock::now() - started, std::chrono::seconds(2)) << arg;
        }
        std::string const printed = read_file(dir / "out");
        if (option) {
            EXPECT_EQ(printed.substr(0, printed.find('\n') + 1), answer) << arg;
        }
        EXPECT_EQ(read_file(dir / "err"), "") << arg;
        EXPECT_EQ(read_file(dir / "--help"), option ? "keep" : header_of(client.pid()) + marker);
        EXPECT_EQ(read_file(dir / "--version"), "keep");
    }
}

// The longest argument that Linux passes (MAX_ARG_STRLEN less its NUL), each byte escaped to four.
TEST(refusals, longest_path_is_reported_whole)
{
    temp_dir dir;
    int const longest = 32 * 4096 - 1;
    unique_fd const err = open_fd(dir / "errors", O_WRONLY | O_CREAT | O_TRUNC);
    process client{built(CLIENT_PATH, {std::string(longest, '\x01')}), {-1, -1, err.get()}};
    EXPECT_EQ(outcome(client.wait()), 1);
    EXPECT_TRUE(same_bytes(read_file(dir / "errors"),
                           "client: " + repeat("\\x01", longest) + ": File name too long\n"));
}

// The size of the writable sections that the file stores, in an ELF file of either class.
template <typename file_header, typename section_header>
std::size_t initialized_data(std::string const& file)
{
    file_header header;
    std::memcpy(&header, file.data(), sizeof header);
    std::size_t initialized = 0;
    for (std::size_t n = 0; n < header.e_shnum; ++n) {
        section_header section;
        std::memcpy(&section, file.data() + header.e_shoff + n * header.e_shentsize,
                    sizeof section);
        if (section.sh_type == SHT_PROGBITS && (section.sh_flags & SHF_WRITE) != 0)
            initialized += section.sh_size;
    }
    return initialized;
}

// The client's buffers are zeros when it starts: they belong in .bss, not stored in the file.
TEST(binary, holds_no_large_initialized_data)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer adds initialized data of its own";
#endif
    std::string const file = read_file(CLIENT_PATH);
    ASSERT_GT(file.size(), std::size_t{EI_NIDENT});
    std::size_t const initialized = file[EI_CLASS] == ELFCLASS32
                                        ? initialized_data<Elf32_Ehdr, Elf32_Shdr>(file)
                                        : initialized_data<Elf64_Ehdr, Elf64_Shdr>(file);
    EXPECT_LT(initialized, 4096u);
}

// As a person at a terminal sees it: each prompt shows before the client waits for the line that
// answers it, and Ctrl-D ends the input.
TEST(terminal, each_prompt_is_out_before_the_client_waits)
{
    temp_dir dir;
    make_fifo(dir / "canal");
    fifo_reader reader{dir / "canal"};
    int master_fd = -1;
    int slave_fd = -1;
    ASSERT_EQ(openpty(&master_fd, &slave_fd, nullptr, nullptr, nullptr), 0);
    unique_fd const master{master_fd};
    unique_fd slave{slave_fd};
    fcntl(master.get(), F_SETFD, FD_CLOEXEC);
    fcntl(slave.get(), F_SETFD, FD_CLOEXEC);
    process client{built(CLIENT_PATH, {dir / "canal"}), {slave.get(), slave.get(), slave.get()}};
    slave = unique_fd{};

    std::string screen = read_until(master.get(), prompt);
    EXPECT_NE(screen.find("voici mon pid : " + std::to_string(client.pid()) + "\r\n" + prompt),
              std::string::npos)
        << screen;
    ASSERT_EQ(write(master.get(), "ls\n", 3), 3);
    screen = read_until(master.get(), "ls\r\n" + prompt, screen);
    EXPECT_NE(screen.find(prompt + "ls\r\n" + prompt), std::string::npos) << screen;
    ASSERT_EQ(write(master.get(), "\x04", 1), 1);

    EXPECT_EQ(outcome(client.wait()), -SIGKILL);
    EXPECT_EQ(reader.finish(), header_of(client.pid()) + "ls\n" + marker);
}

// The pause is timed from before the reader opens, so the header cannot have come earlier. Half
// of it, a wide margin, must pass in silence once the header is in: it was sent before the pause.
TEST(channel, client_waits_for_a_reader_and_sends_its_header_before_the_pause)
{
    temp_dir dir;
    make_fifo(dir / "canal");
    auto in = make_pipe();
    auto out = make_pipe();
    process client{built(CLIENT_PATH, {dir / "canal"}), {in[0].get(), out[1].get(), 2}};
    in[0] = unique_fd{};
    out[1] = unique_fd{};

    pollfd console{out[0].get(), POLLIN, 0};
    EXPECT_EQ(poll(&console, 1, 500), 0) << "the client spoke before the server was there";
    auto const opened = clock::now();
    unique_fd const fifo = open_fd(dir / "canal", O_RDONLY);
    EXPECT_EQ(read_until(fifo.get(), header_of(client.pid())), header_of(client.pid()));
    EXPECT_EQ(poll(&console, 1, 1000), 0) << "the header came at the end of the pause";
    EXPECT_EQ(read_until(out[0].get(), prompt), expected_console(client.pid(), 1));
    EXPECT_GE(clock::now() - opened, std::chrono::seconds(2));

    in[1] = unique_fd{};
    EXPECT_EQ(outcome(client.wait()), -SIGKILL);
    EXPECT_EQ(read_all(fifo.get()), marker);
}

} // namespace

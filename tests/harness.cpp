#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <ranges>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace harness {

namespace {
[[noreturn]] void fail(std::string const& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}
} // namespace

temp_dir::temp_dir()
{
    std::string name = (std::filesystem::temp_directory_path() / "client-test.XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr)
        fail("mkdtemp");
    path_ = name;
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

unique_fd::~unique_fd()
{
    if (fd_ >= 0)
        close(fd_);
}

unique_fd& unique_fd::operator=(unique_fd&& other) noexcept
{
    unique_fd old{std::exchange(fd_, other.release())};
    return *this;
}

unique_fd open_fd(std::string const& path, int flags)
{
    int const fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        fail(path);
    return unique_fd{fd};
}

std::array<unique_fd, 2> make_pipe()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        fail("pipe");
    return {unique_fd{fds[0]}, unique_fd{fds[1]}};
}

std::string read_all(int fd)
{
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes;
}

std::string read_file(std::string const& path)
{
    return read_all(open_fd(path, O_RDONLY).get());
}

void write_file(std::string const& path, std::string const& bytes)
{
    unique_fd const fd = open_fd(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        fail(path);
}

void make_fifo(std::string const& path)
{
    if (mkfifo(path.c_str(), 0600) != 0)
        fail(path);
}

std::string header_of(std::int32_t pid)
{
    return {reinterpret_cast<char const*>(&pid), sizeof pid};
}

std::vector<std::string> built(std::string const& program, std::vector<std::string> const& args)
{
    std::vector<std::string> argv;
#if defined(EMULATOR)
    for (auto const word : std::views::split(std::string_view{EMULATOR}, ' '))
        argv.emplace_back(word.begin(), word.end());
#endif
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string own_errors(std::string const& text)
{
    std::string own;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t const end = std::min(text.find('\n', at), text.size() - 1) + 1;
        std::string_view const line{text.data() + at, end - at};
        if (!line.starts_with("qemu: uncaught target signal "))
            own += line;
        at = end;
    }
    return own;
}

std::string read_until(int fd, std::string const& wanted, std::string so_far)
{
    auto const deadline = clock::now() + std::chrono::seconds(20);
    while (so_far.find(wanted) == std::string::npos && clock::now() < deadline) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[4096];
        ssize_t const n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        so_far.append(buffer, static_cast<std::size_t>(n));
    }
    return so_far;
}

process::process(std::vector<std::string> const& argv, std::array<int, 3> fds,
                 std::vector<std::string> const& extra_env, std::string const& cwd)
{
    // Everything the child needs is built before the fork: after it, only async-signal-safe calls.
    std::vector<char*> args;
    for (auto const& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    // One entry per name, the first that comes: the caller's, then a locale that the test chose,
    // whatever the runner's is, then the runner's environment. With two, which one counts would
    // depend on the loader (the C library's keeps the first, qemu's the last).
    static std::array<char const*, 2> const chosen_locale{"LC_ALL=C", "LANGUAGE="};
    std::vector<char*> env;
    auto const add = [&env](char const* entry) {
        std::string_view const name{entry, std::strcspn(entry, "=") + 1};
        if (std::ranges::none_of(
                env, [name](char const* e) { return std::string_view{e}.starts_with(name); }))
            env.push_back(const_cast<char*>(entry));
    };
    for (auto const& e : extra_env)
        add(e.c_str());
    for (char const* e : chosen_locale)
        add(e);
    for (char** e = environ; *e != nullptr; ++e)
        add(*e);
    env.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ > 0)
        return;
    for (int target = 0; target < 3; ++target) {
        if (fds[target] < 0)
            close(target);
        else
            dup2(fds[target], target);
    }
    signal(SIGPIPE, SIG_DFL);
    rlimit const no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(127);
    execve(args[0], args.data(), env.data());
    _exit(127);
}

process::~process()
{
    if (!reaped_) {
        kill(pid_, SIGKILL);
        wait();
    }
}

int process::wait()
{
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status;
}

int outcome(int status)
{
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

fifo_reader::fifo_reader(std::string const& path, std::size_t leave_after)
    : leave_after_{leave_after}, fifo_{open_fd(path, O_RDONLY | O_NONBLOCK)}, stop_{make_pipe()},
      thread_{&fifo_reader::drain, this}
{
}

fifo_reader::~fifo_reader()
{
    if (thread_.joinable())
        finish();
}

std::string fifo_reader::finish()
{
    stop_[1] = unique_fd{};
    thread_.join();
    return bytes_;
}

void fifo_reader::drain()
{
    // Until a writer has come, the FIFO polls as idle. End of file only means that no writer is
    // there now: another may still come until the test says that all are gone.
    bool stopping = false;
    std::array<char, 65536> buffer;
    for (;;) {
        std::array<pollfd, 2> ready{{{fifo_.get(), POLLIN, 0}, {stop_[0].get(), POLLIN, 0}}};
        if (!stopping && poll(ready.data(), ready.size(), -1) < 0)
            continue;
        stopping = stopping || ready[1].revents != 0;
        std::size_t const room = std::min(buffer.size(), leave_after_ - bytes_.size());
        ssize_t const n = read(fifo_.get(), buffer.data(), room);
        if (n > 0) {
            bytes_.append(buffer.data(), static_cast<std::size_t>(n));
            if (bytes_.size() == leave_after_) {
                fifo_ = unique_fd{};
                return;
            }
        } else if (stopping) {
            return;
        } else if (n == 0) {
            // The FIFO polls as ready from now on: look again now and then for a late writer.
            pollfd stop{stop_[0].get(), POLLIN, 0};
            poll(&stop, 1, 10);
        }
    }
}

} // namespace harness

#pragma once

// Fixtures for running the built executables for real: a temporary folder, a child process
// with chosen standard streams, and a reader that drains a FIFO.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace harness {

// Under an emulator (qemu-user) rather than on a machine of the tests' architecture, where a few
// cases cannot hold; each skips, saying why. EMULATOR is its command line, words apart by spaces.
#if defined(EMULATOR)
inline constexpr bool under_emulation = true;
#else
inline constexpr bool under_emulation = false;
#endif

// The command that runs a program built for the tests with args: through the emulator, where
// there is one, so that no binfmt_misc handler is needed.
std::vector<std::string> built(std::string const& program,
                               std::vector<std::string> const& args = {});
// A program's standard error without the lines that the emulator writes of its own, such as
// "qemu: uncaught target signal 11 (Segmentation fault) - core dumped".
std::string own_errors(std::string const& text);

using clock = std::chrono::steady_clock;

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(temp_dir const&) = delete;
    temp_dir& operator=(temp_dir const&) = delete;
    std::string operator/(std::string const& name) const { return path_ + "/" + name; }
    std::string const& path() const { return path_; }

private:
    std::string path_;
};

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_{fd} {}
    ~unique_fd();
    unique_fd(unique_fd&& other) noexcept : fd_{other.release()} {}
    unique_fd& operator=(unique_fd&& other) noexcept;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

unique_fd open_fd(std::string const& path, int flags);
// A pipe: [0] is the reading end, [1] the writing end.
std::array<unique_fd, 2> make_pipe();
// Everything that comes on fd until end of file.
std::string read_all(int fd);
std::string read_file(std::string const& path);
void write_file(std::string const& path, std::string const& bytes);
void make_fifo(std::string const& path);
// The 4-byte PID header, as it lies in memory.
std::string header_of(std::int32_t pid);
// Reads what comes on fd until it ends or `wanted` is among it; gives up after 20 s.
std::string read_until(int fd, std::string const& wanted, std::string so_far = {});

// A child process that is killed and reaped if the test leaves it behind.
class process {
public:
    // fds become the child's standard streams; -1 leaves that stream closed.
    // env holds "NAME=value" entries added to the test's own environment. The child runs under
    // LC_ALL=C unless env says otherwise, and never leaves a core file; in cwd, if one is given.
    process(std::vector<std::string> const& argv, std::array<int, 3> fds,
            std::vector<std::string> const& env = {}, std::string const& cwd = {});
    ~process();
    process(process const&) = delete;
    process& operator=(process const&) = delete;
    int pid() const { return pid_; }
    int wait(); // the wait status

private:
    int pid_;
    bool reaped_ = false;
};

// A wait status as one number: the exit status, or minus the signal that killed the process.
int outcome(int status);

// Opens a FIFO for reading, without waiting for a writer, and drains it on a thread; it closes
// the FIFO once it holds `leave_after` bytes.
class fifo_reader {
public:
    explicit fifo_reader(std::string const& path, std::size_t leave_after = SIZE_MAX);
    ~fifo_reader();
    fifo_reader(fifo_reader const&) = delete;
    fifo_reader& operator=(fifo_reader const&) = delete;
    // Once the writers are gone: all that came.
    std::string finish();

private:
    void drain();

    std::size_t leave_after_;
    unique_fd fifo_;
    std::array<unique_fd, 2> stop_;
    std::string bytes_;
    std::thread thread_;
};

} // namespace harness

// command-server: a stand-in command server. It reads the clients' streams from a FIFO, one
// client after another, and prints what each sent.

#include "stream_decoder.hpp"
#include "write_all.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Read by the signal handler, which removes the FIFO that this server made.
char const* fifo_path = nullptr;
volatile std::sig_atomic_t fifo_created = 0;

// One output line, built in a fixed buffer and written at once so that it is never torn.
class line {
public:
    line& operator<<(std::string_view text)
    {
        text = text.substr(0, text_.size() - len_);
        std::memcpy(text_.data() + len_, text.data(), text.size());
        len_ += text.size();
        return *this;
    }
    line& operator<<(std::int32_t number)
    {
        std::array<char, 16> digits;
        return *this << std::string_view{digits.data(),
                                         std::to_chars(digits.begin(), digits.end(), number).ptr};
    }
    // Control bytes are shown as \xNN, so that a client cannot drive the server's terminal.
    line& escaped(std::string_view text)
    {
        for (unsigned char const c : text) {
            if ((c < 0x20 && c != '\t') || c == 0x7f) {
                constexpr std::string_view hex = "0123456789abcdef";
                std::array<char, 4> const code{'\\', 'x', hex[c >> 4], hex[c & 0xf]};
                *this << std::string_view{code.data(), code.size()};
            } else {
                *this << std::string_view{reinterpret_cast<char const*>(&c), 1};
            }
        }
        return *this;
    }
    void put(int fd = STDOUT_FILENO)
    {
        *this << "\n";
        write_all(fd, std::span{text_.data(), len_});
    }

private:
    // Room for a whole line of the decoder with every byte escaped, and the prefix.
    std::array<char, 16448> text_;
    std::size_t len_ = 0;
};

class printer final : public stream_decoder::events {
public:
    void header(std::int32_t pid) override
    {
        pid_ = pid;
        (line{} << "client " << pid_ << " : connecté").put();
    }
    void command(std::string_view text) override
    {
        (line{} << "client " << pid_ << " : ").escaped(text).put();
    }
    void ending(stream_decoder::ending how)
    {
        line out;
        if (pid_ == 0)
            out << "client inconnu";
        else
            out << "client " << pid_;
        out << (how == stream_decoder::ending::clean ? " : fin (ctrld)" : " : disparu sans ctrld");
        out.put();
        pid_ = 0;
    }

private:
    std::int32_t pid_ = 0;
};

void on_signal(int sig)
{
    if (fifo_created)
        unlink(fifo_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

int fail(std::string_view what)
{
    (line{} << "command-server: " << what << ": " << std::strerror(errno)).put(STDERR_FILENO);
    return 1;
}

} // namespace

int main(int argc, char const* const argv[])
{
    if (argc != 2) {
        write_all(STDERR_FILENO, std::string_view{"usage : command-server tube\n"});
        return 2;
    }
    fifo_path = argv[1];

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int const sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &action, nullptr);

    // Only the owner may write to a FIFO made here: whoever writes to it sends commands.
    if (mkfifo(fifo_path, 0600) == 0) {
        fifo_created = 1;
    } else {
        struct stat st;
        if (errno != EEXIST || lstat(fifo_path, &st) != 0)
            return fail(fifo_path);
        if (!S_ISFIFO(st.st_mode)) {
            (line{} << "command-server: " << fifo_path << ": existe et n'est pas un tube nommé")
                .put(STDERR_FILENO);
            return 1;
        }
    }
    (line{} << "serveur : en attente de clients sur " << fifo_path).put();

    printer out;
    std::array<char, 65536> buffer;
    for (;;) {
        int const fd = open(fifo_path, O_RDONLY);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return fail(fifo_path);
        }
        stream_decoder decoder{out};
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) != 0) {
            if (n > 0)
                decoder.feed(std::span{buffer.data(), static_cast<std::size_t>(n)});
            else if (errno != EINTR)
                break;
        }
        close(fd);
        out.ending(decoder.finish());
    }
}

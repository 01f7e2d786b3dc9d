// client: forwards the commands typed on the console to a command server over a named pipe.

#include "channel_stream.hpp"
#include "console.hpp"
#include "write_all.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view prompt = "Saisir la commande a envoyer au serveur :";

// Reports "client: <what>: <reason>" on standard error in one write, so that messages from
// several clients sharing a terminal do not mix, and returns the exit status for a failure.
int fail(std::string_view what, int err)
{
    std::array<char, 512> message;
    std::string_view const reason = std::strerror(err);
    std::size_t length = 0;
    for (std::string_view part : {std::string_view{"client: "}, what, std::string_view{": "},
                                  reason, std::string_view{"\n"}}) {
        part = part.substr(0, message.size() - length);
        std::memcpy(message.data() + length, part.data(), part.size());
        length += part.size();
    }
    write_all(STDERR_FILENO, std::span{message.data(), length});
    return 1;
}

// With one of the standard descriptors closed, the channel would take its number and console
// text would go down the channel; /dev/null stands in for it instead.
bool fill_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

void announce(console& con, std::int32_t pid)
{
    std::array<char, 16> digits;
    auto* const end = std::to_chars(digits.begin(), digits.end(), pid).ptr;
    con.print("voici mon pid : ");
    con.print(std::string_view{digits.begin(), end});
    con.print("\n");
}

} // namespace

// Run flag: the prompt loop goes on while it is set.
int i = 1;

int main(int argc, char* argv[])
{
    std::int32_t const pid = getpid();
    std::setlocale(LC_MESSAGES, "");
    if (!fill_standard_descriptors())
        return fail("/dev/null", errno);
    if (argc < 2) {
        write_all(STDERR_FILENO, std::string_view{"usage : client canal\n"});
        return 2;
    }
    char const* const path = argv[1];

    // On a FIFO this waits for the server to open it for reading. A regular file is truncated
    // so that it holds this run's stream and nothing after it; nothing is ever created.
    int const channel = open(path, O_WRONLY | O_TRUNC | O_NOCTTY);
    if (channel < 0 || !channel_stream::send_header(channel, pid))
        return fail(path, errno);
    sleep(2);

    console con{STDIN_FILENO, STDOUT_FILENO};
    announce(con, pid);
    while (i) {
        con.print(prompt);
        auto const command = con.read_command();
        if (!command) {
            i = 0;
        } else if (!command->empty() && !channel_stream::send_chunk(channel, *command)) {
            int const err = errno;
            con.flush();
            return fail(path, err);
        }
    }

    if (!channel_stream::send_end_marker(channel) || close(channel) != 0) {
        int const err = errno;
        con.flush();
        return fail(path, err);
    }
    int status = 0;
    if (!con.flush())
        status = fail("sortie standard", con.write_error());
    if (con.read_error() != 0)
        status = fail("entrée standard", con.read_error());
    if (status != 0)
        return status;
    kill(pid, SIGKILL);
    return 0;
}

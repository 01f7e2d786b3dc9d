// client: forwards the commands typed on the console to a command server over a named pipe.

#include "channel_stream.hpp"
#include "console.hpp"
#include "message.hpp"
#include "write_all.hpp"

#include <array>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace {

constexpr std::string_view prompt = "Saisir la commande a envoyer au serveur :";
constexpr std::string_view usage = "Utilisation : client canal\n";
// What --help adds after the usage line.
constexpr std::string_view help =
    "\n"
    "Envoie au serveur de commandes, par le tube nommé canal, son PID puis chaque\n"
    "ligne saisie, et « ctrld » à la fin de l'entrée. Ne crée jamais canal ; attend\n"
    "que le serveur l'ait ouvert. Ctrl-D en début de ligne termine la session ;\n"
    "Ctrl-C l'interrompt sans « ctrld ». Fin normale : client s'envoie SIGKILL,\n"
    "d'où le code de retour 137. Pour un tube nommé --help, indiquez ./--help.\n"
    "Voir client(1).\n"
    "\n"
    "  --help     afficher l'aide et quitter\n"
    "  --version  afficher la version et quitter\n";
constexpr std::string_view version = "client " VERSION "\n";

int fail(std::string_view what, int err)
{
    return report_error("client", what, err);
}

// Answers --help and --version, only as they are spelled; anything else is a path. Returns the
// exit status, or nothing for a path.
std::optional<int> answer_option(std::string_view arg)
{
    if (arg != "--help" && arg != "--version")
        return std::nullopt;
    bool const written = arg == "--help"
                             ? write_all(STDOUT_FILENO, usage) && write_all(STDOUT_FILENO, help)
                             : write_all(STDOUT_FILENO, version);
    return written ? 0 : fail("sortie standard", errno);
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

// The channel refused a piece. When its reader has gone, the run ends by SIGPIPE as it would
// have under the default disposition (console writes alone are kept from raising it), unless
// the caller had the signal ignored; any other refusal is reported.
int channel_refused(console& con, char const* path, struct sigaction const& inherited_sigpipe)
{
    int const err = errno;
    con.flush();
    if (err == EPIPE) {
        sigaction(SIGPIPE, &inherited_sigpipe, nullptr);
        raise(SIGPIPE);
    }
    return fail(path, err);
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
    // All of the locale, not only LC_MESSAGES: the C library transliterates translated reasons
    // to the character set of LC_CTYPE.
    std::setlocale(LC_ALL, "");
    if (!fill_standard_descriptors())
        return fail("/dev/null", errno);
    if (argc < 2) {
        write_all(STDERR_FILENO, usage);
        return 2;
    }
    if (auto const status = answer_option(argv[1]))
        return *status;
    char const* const path = argv[1];
    // A console reader that has gone, or a file-size limit met by the console log, must cost no
    // command: their writes fail with EPIPE or EFBIG instead of killing the client.
    struct sigaction ignore {};
    struct sigaction inherited_sigpipe {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &inherited_sigpipe);
    sigaction(SIGXFSZ, &ignore, nullptr);
    static console con{STDIN_FILENO, STDOUT_FILENO};

    // On a FIFO this waits for the server to open it for reading. A regular file is truncated
    // so that it holds this run's stream and nothing after it; nothing is ever created.
    int const channel = open(path, O_WRONLY | O_TRUNC | O_NOCTTY);
    if (channel < 0)
        return fail(path, errno);
    if (!channel_stream::send_header(channel, pid))
        return channel_refused(con, path, inherited_sigpipe);
    sleep(2);

    announce(con, pid);
    while (i) {
        con.print(prompt);
        auto const command = con.read_command();
        if (!command)
            i = 0;
        else if (!channel_stream::send_chunk(channel, *command))
            return channel_refused(con, path, inherited_sigpipe);
    }

    if (!channel_stream::send_end_marker(channel))
        return channel_refused(con, path, inherited_sigpipe);
    if (close(channel) != 0) {
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

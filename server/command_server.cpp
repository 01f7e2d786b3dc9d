// command-server: a stand-in command server. It reads the clients' streams from a FIFO, one
// after another or several at once, and prints what each sent, for people or as JSON Lines.

#include "message.hpp"
#include "output.hpp"
#include "stream_decoder.hpp"
#include "write_all.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view program = "command-server";
constexpr std::string_view usage = "Utilisation : command-server [--json] canal\n";
// What --help adds after the usage line.
constexpr std::string_view help =
    "\n"
    "Lit ce que les clients envoient par le tube nommé canal et l'affiche : une\n"
    "ligne quand un client se connecte, une par commande et une quand il se\n"
    "termine. Crée canal (mode 0600) s'il n'existe pas et, dans ce cas, le\n"
    "supprime en s'arrêtant. Ctrl-C arrête le serveur. Voir command-server(1).\n"
    "\n"
    "  --json     écrire les événements en JSON Lines, un objet par ligne\n"
    "  --help     afficher l'aide et quitter\n"
    "  --version  afficher la version et quitter\n";
constexpr std::string_view version = "command-server " VERSION "\n";

// The FIFO that this server made, which it removes on every end it sees, but only while the
// path still names that FIFO: a file put in its place is someone else's. The signal handler
// reads the path and the identity only once made_fifo is set, and it is set after both.
char const* fifo_path = nullptr;
volatile std::sig_atomic_t made_fifo = 0;
struct stat fifo_identity {};

bool same_file(struct stat const& a, struct stat const& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the path still names the FIFO that the server started with.
bool fifo_still_there()
{
    struct stat st {};
    return lstat(fifo_path, &st) == 0 && same_file(st, fifo_identity);
}

void remove_fifo()
{
    if (made_fifo && fifo_still_there())
        unlink(fifo_path);
    made_fifo = 0;
}

// Asked to stop (SIGTERM, SIGINT, SIGHUP), the server first shows what its clients have written
// already, then ends by that signal; asked twice, it ends at once. Any other signal ends it at
// once.
volatile std::sig_atomic_t stop_requested = 0;

// Removes the FIFO, then ends the process by sig, its default put back. The first process of a
// PID namespace is never ended by a signal it has no handler for, its own included: it then
// exits with the status a shell shows for that signal.
[[noreturn]] void end_by(int sig)
{
    remove_fifo();
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    sigaction(sig, &by_default, nullptr);
    sigset_t just_this;
    sigemptyset(&just_this);
    sigaddset(&just_this, sig);
    sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    raise(sig);
    // cppcheck-suppress unreachableCode ; raise returns where the signal has no effect
    _exit(128 + sig);
}

void on_signal(int sig);

struct sigaction handler()
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND;
    sigfillset(&action.sa_mask);
    return action;
}

void on_signal(int sig)
{
    if ((sig == SIGTERM || sig == SIGINT || sig == SIGHUP) && stop_requested == 0) {
        stop_requested = sig;
        struct sigaction const again = handler();
        sigaction(sig, &again, nullptr);
        return;
    }
    end_by(sig);
}

// Every signal whose default is to end the process, but those that the caller set to be ignored:
// nohup and the like must keep their meaning. Those whose default is to be ignored or to stop
// are left alone; sigaction refuses SIGKILL, SIGSTOP and the numbers the C library keeps.
void remove_fifo_on_signals()
{
    constexpr std::array left_alone{SIGCHLD, SIGCONT, SIGURG, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU};
    struct sigaction const action = handler();
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        struct sigaction inherited {};
        if (std::ranges::find(left_alone, sig) == left_alone.end() &&
            sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

int stop(int status)
{
    remove_fifo();
    return status;
}

// Makes the FIFO with mode 0600 whatever the umask, or takes the one that is there if it is a
// FIFO that only its owner, this user, can write to: whoever writes to it sends commands.
int take_fifo()
{
    mode_t const umask_before = umask(077);
    int const made = mkfifo(fifo_path, 0600);
    umask(umask_before);
    if (made != 0 && errno != EEXIST)
        return report_error(program, fifo_path, errno);
    struct stat st {};
    if (lstat(fifo_path, &st) != 0)
        return report_error(program, fifo_path, errno);
    fifo_identity = st;
    if (made == 0) {
        made_fifo = 1;
        return 0;
    }
    if (!S_ISFIFO(st.st_mode))
        return report(program, fifo_path, "existe et n'est pas un tube nommé");
    if (st.st_uid != geteuid())
        return report(program, fifo_path, "appartient à un autre utilisateur");
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return report(program, fifo_path, "d'autres utilisateurs peuvent y écrire");
    return 0;
}

// Opens the FIFO for reading without waiting for a writer, and without following a link: what
// is opened must be the FIFO that the server started with. Returns -1 once it has said why not.
int open_fifo()
{
    constexpr std::string_view replaced = "a été remplacé (ce n'est plus le tube du serveur)";
    int const fd = open(fifo_path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            report(program, fifo_path, "a disparu");
        else if (errno == ELOOP) // a symbolic link now stands at the path
            report(program, fifo_path, replaced);
        else
            report_error(program, fifo_path, errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !same_file(st, fifo_identity)) {
        close(fd);
        report(program, fifo_path, replaced);
        return -1;
    }
    return fd;
}

// Prints what comes on fd until its writers are gone (or standard output refuses text);
// returns 0, or the exit status to stop with.
int serve_stream(int fd, output& out)
{
    // As large as a pipe can be made without privilege: a read that takes less than it asks for
    // has taken all that the pipe held, whole pieces, and the decoder is told where they end.
    static std::array<char, 1 << 20> buffer;
    stream_decoder decoder{out};
    bool got_bytes = false;
    while (out.write_error() == 0) {
        // Asked to stop: read what the pipe holds, without waiting for more.
        bool const stopping = stop_requested != 0;
        pollfd ready{fd, POLLIN, 0};
        // A client writes its end marker right after its last line: a trailing "ctrld" that
        // nothing follows for a moment is the marker, and is shown as such.
        int const events = stopping ? 1 : poll(&ready, 1, decoder.waiting() ? 100 : 1000);
        if (events < 0)
            continue;
        // Idle: look that the FIFO is still there, and read all the same, since a client that
        // came before this descriptor was opened leaves without a hang-up to poll.
        if (events == 0 && !fifo_still_there())
            return report(program, fifo_path, "a disparu");
        ssize_t const n = read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            got_bytes = true;
            decoder.feed(std::span{buffer.data(), static_cast<std::size_t>(n)});
            if (static_cast<std::size_t>(n) < buffer.size())
                decoder.piece_end();
        } else if (stopping) {
            decoder.stop();
            return 0;
        } else if (n == 0 && (events > 0 || got_bytes)) {
            break;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return report_error(program, fifo_path, errno);
        } else if (events == 0) {
            decoder.quiet();
        }
    }
    decoder.finish();
    return 0;
}

// French lines for people, or JSON Lines for programs. Each holds a line's buffer, so it lives in
// static storage.
output& chosen_output(bool json)
{
    static plain_output plain;
    static json_output lines;
    if (json)
        return lines;
    return plain;
}

} // namespace

int main(int argc, char const* const argv[])
{
    std::setlocale(LC_ALL, "");
    std::span<char const* const> args{argv + 1, static_cast<std::size_t>(argc - 1)};
    bool const json = !args.empty() && std::string_view{args[0]} == "--json";
    if (json)
        args = args.subspan(1);
    if (args.size() != 1) {
        write_all(STDERR_FILENO, usage);
        return 2;
    }
    std::string_view const arg = args[0];
    if (!json && (arg == "--help" || arg == "--version")) {
        bool const written = arg == "--help"
                                 ? write_all(STDOUT_FILENO, usage) && write_all(STDOUT_FILENO, help)
                                 : write_all(STDOUT_FILENO, version);
        return written ? 0 : report_error(program, "sortie standard", errno);
    }
    if (arg.starts_with('-')) {
        // A path that starts with "-" is still reachable as ./-name.
        report(program, arg, "option inconnue");
        write_all(STDERR_FILENO, usage);
        return 2;
    }
    fifo_path = args[0];
    // A closed standard output, or one over a file-size limit, is a write error to report, not
    // a silent death; being ignored, neither signal gets the handler below.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    remove_fifo_on_signals();
    if (take_fifo() != 0)
        return stop(1);

    int fd = open_fifo();
    output& out = chosen_output(json);
    if (fd >= 0)
        out.listening(fifo_path);
    while (fd >= 0 && out.write_error() == 0) {
        if (int const status = serve_stream(fd, out); status != 0) {
            close(fd);
            return stop(status);
        }
        if (stop_requested != 0)
            end_by(stop_requested);
        // The next reader is there before this one goes, so that a client that has just opened
        // the FIFO never meets a FIFO without a reader.
        int const next = open_fifo();
        close(fd);
        fd = next;
    }
    if (out.write_error() != 0)
        return stop(report_error(program, "sortie standard", out.write_error()));
    return stop(1);
}

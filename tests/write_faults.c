/* Preloaded into the client to watch and to trouble its writes on the channel (every write on a
 * FIFO or pipe). Each such write, and each read of standard input, adds "<fd> <asked> <result>"
 * to the file named by WRITE_FAULTS_LOG.
 * WRITE_FAULTS chooses the trouble: "short" takes half of each write; "eintr" fails every other
 * write, and every other read of standard input, with EINTR before doing anything; "eio@N" and
 * "zero@N" fail the channel's write number N (from 0) with EIO or by taking nothing. Unset,
 * writes go through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static ssize_t troubled(int fd, const void *bytes, size_t count,
                        ssize_t (*real_write)(int, const void *, size_t))
{
    static int calls;
    const char *mode = getenv("WRITE_FAULTS");
    int call = calls++;
    int at = -1;
    if (!mode)
        return real_write(fd, bytes, count);
    if (strcmp(mode, "short") == 0 && count > 1)
        return real_write(fd, bytes, count / 2);
    if (strcmp(mode, "eintr") == 0 && call % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    if (sscanf(mode, "eio@%d", &at) == 1 && call == at) {
        errno = EIO;
        return -1;
    }
    if (sscanf(mode, "zero@%d", &at) == 1 && call == at)
        return 0;
    return real_write(fd, bytes, count);
}

static ssize_t (*real_write)(int, const void *, size_t);

static ssize_t logged(int fd, size_t count, ssize_t result)
{
    int saved = errno;
    const char *log = getenv("WRITE_FAULTS_LOG");
    int out = log ? open(log, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
    if (out >= 0) {
        char line[64];
        int length = snprintf(line, sizeof line, "%d %zu %zd\n", fd, count, result);
        real_write(out, line, (size_t)length);
        close(out);
    }
    errno = saved;
    return result;
}

ssize_t write(int fd, const void *bytes, size_t count)
{
    if (!real_write)
        *(void **)&real_write = dlsym(RTLD_NEXT, "write");
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        return real_write(fd, bytes, count);
    return logged(fd, count, troubled(fd, bytes, count, real_write));
}

ssize_t read(int fd, void *bytes, size_t count)
{
    static ssize_t (*real_read)(int, void *, size_t);
    static int calls;
    if (!real_read)
        *(void **)&real_read = dlsym(RTLD_NEXT, "read");
    if (!real_write)
        *(void **)&real_write = dlsym(RTLD_NEXT, "write");
    if (fd != STDIN_FILENO)
        return real_read(fd, bytes, count);
    const char *mode = getenv("WRITE_FAULTS");
    if (mode && strcmp(mode, "eintr") == 0 && calls++ % 2 == 0) {
        errno = EINTR;
        return logged(fd, count, -1);
    }
    return logged(fd, count, real_read(fd, bytes, count));
}

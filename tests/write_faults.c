/* Preloaded into the client to watch and to trouble its writes on the channel (every descriptor
 * above the standard streams). Each such write adds "<asked> <result>" to the file named by
 * WRITE_FAULTS_LOG. WRITE_FAULTS chooses the trouble: "short" takes half of each write, "eintr"
 * fails every other write with EINTR before writing anything, "eio" and "zero" let the first two
 * writes through and then fail every write with EIO or take nothing; unset, writes go through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void *, size_t);

static ssize_t troubled(int fd, const void *bytes, size_t count)
{
    static int calls;
    const char *mode = getenv("WRITE_FAULTS");
    int call = calls++;
    if (!mode)
        return real_write(fd, bytes, count);
    if (strcmp(mode, "short") == 0 && count > 1)
        return real_write(fd, bytes, count / 2);
    if (strcmp(mode, "eintr") == 0 && call % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    if (strcmp(mode, "eio") == 0 && call >= 2) {
        errno = EIO;
        return -1;
    }
    if (strcmp(mode, "zero") == 0 && call >= 2)
        return 0;
    return real_write(fd, bytes, count);
}

ssize_t write(int fd, const void *bytes, size_t count)
{
    if (!real_write)
        *(void **)&real_write = dlsym(RTLD_NEXT, "write");
    if (fd <= 2)
        return real_write(fd, bytes, count);
    int saved;
    ssize_t result = troubled(fd, bytes, count);
    saved = errno;
    const char *log = getenv("WRITE_FAULTS_LOG");
    int out = log ? open(log, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
    if (out >= 0) {
        char line[48];
        int length = snprintf(line, sizeof line, "%zu %zd\n", count, result);
        real_write(out, line, (size_t)length);
        close(out);
    }
    errno = saved;
    return result;
}

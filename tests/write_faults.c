/* Preloaded into the client to make the kernel look unkind on the channel (every descriptor
 * above the standard streams): WRITE_FAULTS=short takes only half of each write, =eintr fails
 * every other write with EINTR before it writes anything. Each fault injected adds a byte to the
 * file named by WRITE_FAULTS_LOG, so a test can tell that the faults really happened. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static ssize_t (*real_write)(int, const void *, size_t);

static void note_fault(void)
{
    const char *log = getenv("WRITE_FAULTS_LOG");
    int fd = log ? open(log, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
    if (fd >= 0) {
        real_write(fd, "x", 1);
        close(fd);
    }
}

ssize_t write(int fd, const void *bytes, size_t count)
{
    static int calls;
    const char *mode = getenv("WRITE_FAULTS");
    if (!real_write)
        *(void **)&real_write = dlsym(RTLD_NEXT, "write");
    if (fd > 2 && mode && strcmp(mode, "short") == 0 && count > 1) {
        note_fault();
        return real_write(fd, bytes, count / 2);
    }
    if (fd > 2 && mode && strcmp(mode, "eintr") == 0 && calls++ % 2 == 0) {
        note_fault();
        errno = EINTR;
        return -1;
    }
    return real_write(fd, bytes, count);
}

/* drain FIFO SKIP: reads FIFO to end of file, as a server that keeps up would. Prints the seconds
 * from the first byte after the first SKIP bytes (a PID header, so the client's pause is left out)
 * to end of file, then the bytes read. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static char buffer[1 << 20];

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    long skip = argc > 2 ? atol(argv[2]) : 0;
    long long total = 0;
    double start = 0;
    int fd = open(argv[1], O_RDONLY);
    ssize_t n;
    if (fd < 0)
        return 1;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        if (start == 0 && total + n > skip)
            start = now();
        total += n;
    }
    printf("%.6f %lld\n", start == 0 ? 0 : now() - start, total);
    return 0;
}

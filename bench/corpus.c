/* corpus LINES: LINES lines of printable text, 0 to 250 bytes each before the newline, the same
 * every time (a fixed seed), on standard output. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    long lines = argc > 1 ? atol(argv[1]) : 1000000;
    uint64_t state = 0x9e3779b97f4a7c15u;
    char line[252];
    for (long n = 0; n < lines; ++n) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        int length = (int)(state % 251);
        for (int k = 0; k < length; ++k)
            line[k] = (char)(' ' + (state >> (k % 50)) % 95);
        line[length] = '\n';
        fwrite(line, 1, (size_t)length + 1, stdout);
    }
    return fflush(stdout) != 0;
}

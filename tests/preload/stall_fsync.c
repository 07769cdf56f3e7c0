/* Preloaded into the vesk tool by its signal tests: the first fsync(2) the
   tool makes, the one of its finished temporary output file before the
   rename, creates the file named by VESK_STALL_MARK and then waits for a
   signal, so that a test can interrupt a write at a known point. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int fsync(int fd) {
    (void)fd;
    const char* mark = getenv("VESK_STALL_MARK");
    if (mark) {
        int m = open(mark, O_WRONLY | O_CREAT, 0600);
        if (m >= 0) close(m);
    }
    for (;;) pause();
}

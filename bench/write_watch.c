/* write_watch DIR... - until SIGTERM, notes when each file in the folders is first and last
 * written and prints one line per file: "DIR/NAME FIRST_MS LAST_MS" (CLOCK_MONOTONIC), when the
 * file is deleted (a name used again starts a new line) or at the end.
 * The harness times a file by its first bytes; the last write is when the picture is whole. */
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#define MAX_FILES 4096
#define MAX_DIRS 16

static volatile sig_atomic_t stop;
static void on_signal(int s) { (void)s; stop = 1; }

struct seen { int dir; char name[NAME_MAX + 1]; double first, last; };
static struct seen files[MAX_FILES];
static int nfiles;

static void report(char **argv, const struct seen *f)
{
    printf("%s/%s %.3f %.3f\n", argv[f->dir + 1], f->name, f->first, f->last);
    fflush(stdout);
}

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc - 1 > MAX_DIRS) {
        fprintf(stderr, "usage: write_watch DIR... (at most %d)\n", MAX_DIRS);
        return 2;
    }
    int fd = inotify_init1(IN_CLOEXEC), wd[MAX_DIRS];
    for (int i = 1; i < argc; i++)
        if (fd < 0 || (wd[i - 1] = inotify_add_watch(fd, argv[i], IN_MODIFY | IN_DELETE)) < 0) {
            perror(argv[i]);
            return 1;
        }
    struct sigaction sa = {0};
    sa.sa_handler = on_signal; /* no SA_RESTART: the read below returns */
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    char buf[64 * 1024] __attribute__((aligned(__alignof__(struct inotify_event))));
    while (!stop) {
        ssize_t n = read(fd, buf, sizeof buf);
        double t = now_ms();
        for (char *p = buf; n > 0 && p < buf + n;) {
            struct inotify_event *e = (struct inotify_event *)p;
            p += sizeof *e + e->len;
            if (!e->len) continue;
            int dir = 0;
            while (dir < argc - 1 && wd[dir] != e->wd) dir++;
            int i = 0;
            while (i < nfiles && !(files[i].dir == dir && !strcmp(files[i].name, e->name))) i++;
            if (e->mask & IN_DELETE) {
                if (i < nfiles) {
                    report(argv, &files[i]);
                    files[i] = files[--nfiles];
                }
                continue;
            }
            if (i == nfiles) {
                if (nfiles == MAX_FILES) continue;
                files[nfiles].dir = dir;
                snprintf(files[nfiles].name, sizeof files[nfiles].name, "%s", e->name);
                files[nfiles++].first = t;
            }
            files[i].last = t;
        }
    }
    for (int i = 0; i < nfiles; i++) report(argv, &files[i]);
    return 0;
}

/* Small static helper for the kernel-client guest, where busybox falls short:
 *   kc-helper mount SOURCE DIR OPTIONS   mount(2) of type nfs with text options
 *   kc-helper getdents DIR BUFSIZE       reads a directory with getdents64 and
 *                                        counts its entries (without . and ..)
 *   kc-helper list DIR EVERY             reads all of a directory in one
 *                                        getdents64 call (1 MiB buffer), closes
 *                                        it, then lstat(2)s every EVERY-th entry
 *   kc-helper fsync FD                   fsync(2) of a descriptor the shell
 *                                        holds open, so a write error shows
 *                                        in the exit status
 * Each prints one result line with the elapsed milliseconds, so the guest
 * script can log how long the kernel took. Exit status 0 on success. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

struct linux_dirent64 {
    unsigned long long d_ino;
    long long d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

static long long now_ms(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (long long)tv.tv_sec * 1000 + tv.tv_usec / 1000;
}

static int do_mount(const char *src, const char *dir, const char *opts)
{
    long long t0 = now_ms();
    int rc = mount(src, dir, "nfs", 0, opts);
    int err = errno;
    long long dt = now_ms() - t0;
    if (rc == 0) {
        printf("kc-helper: mount ok ms=%lld\n", dt);
        return 0;
    }
    printf("kc-helper: mount failed errno=%d (%s) ms=%lld\n", err, strerror(err), dt);
    return 1;
}

static int do_getdents(const char *dir, size_t bufsize)
{
    long long t0 = now_ms();
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        printf("kc-helper: open failed errno=%d (%s)\n", errno, strerror(errno));
        return 1;
    }
    char *buf = malloc(bufsize);
    if (!buf)
        return 1;
    long entries = 0, calls = 0;
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buf, bufsize);
        calls++;
        if (n < 0) {
            int err = errno;
            printf("kc-helper: getdents64 failed errno=%d (%s) after entries=%ld calls=%ld ms=%lld\n",
                   err, strerror(err), entries, calls, now_ms() - t0);
            close(fd);
            free(buf);
            return 1;
        }
        if (n == 0)
            break;
        for (long off = 0; off < n;) {
            struct linux_dirent64 *d = (struct linux_dirent64 *)(buf + off);
            if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0)
                entries++;
            off += d->d_reclen;
        }
    }
    printf("kc-helper: getdents ok entries=%ld calls=%ld bufsize=%zu ms=%lld\n",
           entries, calls, bufsize, now_ms() - t0);
    close(fd);
    free(buf);
    return 0;
}

/* A listing that never reaches the kernel's plain READDIR, which this
 * server leaves unanswered: the kernel chooses READDIRPLUS for the call at
 * offset 0 only, so that call must take every entry. The entries are
 * stat'ed after the directory is closed, so that its per-open heuristics
 * see none of it. */
static int do_list(const char *dir, long every)
{
    enum { kBuffer = 1 << 20 };
    long long t0 = now_ms();
    int fd = open(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        printf("kc-helper: open failed errno=%d (%s)\n", errno, strerror(errno));
        return 1;
    }
    char *buf = malloc(kBuffer);
    size_t names_size = 0, names_used = 0;
    char *names = NULL;
    long entries = 0, calls = 0;
    if (!buf)
        return 1;
    for (;;) {
        long n = syscall(SYS_getdents64, fd, buf, kBuffer);
        calls++;
        if (n < 0) {
            int err = errno;
            printf("kc-helper: getdents64 failed errno=%d (%s) after entries=%ld calls=%ld\n", err,
                   strerror(err), entries, calls);
            return 1;
        }
        if (n == 0)
            break;
        for (long off = 0; off < n;) {
            struct linux_dirent64 *d = (struct linux_dirent64 *)(buf + off);
            off += d->d_reclen;
            if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0)
                continue;
            size_t len = strlen(d->d_name) + 1;
            if (names_used + len > names_size) {
                names_size = (names_size + len) * 2;
                names = realloc(names, names_size);
                if (!names)
                    return 1;
            }
            memcpy(names + names_used, d->d_name, len);
            names_used += len;
            entries++;
        }
    }
    close(fd);
    free(buf);
    long failed = 0, stated = 0, index = 0;
    int first_error = 0;
    char path[4096];
    struct stat st;
    for (size_t off = 0; off < names_used; off += strlen(names + off) + 1) {
        if (index++ % every != 0)
            continue;
        stated++;
        snprintf(path, sizeof path, "%s/%s", dir, names + off);
        if (lstat(path, &st) != 0) {
            if (failed++ == 0)
                first_error = errno;
        }
    }
    free(names);
    printf("kc-helper: list entries=%ld calls=%ld stated=%ld stat_failed=%ld first_error=%d (%s) ms=%lld\n",
           entries, calls, stated, failed, first_error, first_error ? strerror(first_error) : "none",
           now_ms() - t0);
    return failed == 0 ? 0 : 1;
}

static int do_fsync(int fd)
{
    long long t0 = now_ms();
    if (fsync(fd) != 0) {
        int err = errno;
        printf("kc-helper: fsync failed errno=%d (%s) ms=%lld\n", err, strerror(err), now_ms() - t0);
        return 1;
    }
    printf("kc-helper: fsync ok ms=%lld\n", now_ms() - t0);
    return 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 5 && strcmp(argv[1], "mount") == 0)
        return do_mount(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "getdents") == 0)
        return do_getdents(argv[2], (size_t)strtoul(argv[3], NULL, 10));
    if (argc == 4 && strcmp(argv[1], "list") == 0 && atol(argv[3]) > 0)
        return do_list(argv[2], atol(argv[3]));
    if (argc == 3 && strcmp(argv[1], "fsync") == 0)
        return do_fsync(atoi(argv[2]));
    fprintf(stderr, "usage: kc-helper mount SOURCE DIR OPTIONS | getdents DIR BUFSIZE | list DIR EVERY | fsync FD\n");
    return 2;
}

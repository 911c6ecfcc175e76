/* Test-only LD_PRELOAD library: positioned reads that misbehave on request.
 *
 * FAULT_EINVAL_FROM=N   a read starting at offset >= N fails with EINVAL, as
 *                       a file system refuses offsets past its largest file.
 * FAULT_SHRINK_PATH=P   the file at P is cut to FAULT_SHRINK_TO bytes just
 * FAULT_SHRINK_TO=N     before the first read that reaches past N.
 * FAULT_SHORT_READS=N   a read gives at most N bytes, as one cut short by a
 *                       signal does, so the reader has to ask for the rest.
 *
 * Plain and vectored positioned reads alike.
 *
 * fault_shim_reads and fault_shim_faults count what happened, so a test can
 * tell that the library was in the path at all. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

typedef ssize_t (*pread_fn)(int, void *, size_t, off_t);
typedef ssize_t (*preadv_fn)(int, const struct iovec *, int, off_t);

long fault_shim_reads = 0;
long fault_shim_faults = 0;

static long long env_offset(const char *name) {
    const char *s = getenv(name);
    return s ? strtoll(s, NULL, 10) : -1;
}

/* Applies the faults to a read of n bytes at off; -1 when it is refused. */
static int before_read(size_t n, off_t off) {
    static int shrunk = 0;
    ++fault_shim_reads;
    long long refuse_from = env_offset("FAULT_EINVAL_FROM");
    if (refuse_from >= 0 && off >= refuse_from) {
        ++fault_shim_faults;
        errno = EINVAL;
        return -1;
    }
    const char *path = getenv("FAULT_SHRINK_PATH");
    long long shrink_to = env_offset("FAULT_SHRINK_TO");
    if (path && shrink_to >= 0 && !shrunk && (long long)off + (long long)n > shrink_to) {
        shrunk = 1;
        if (truncate(path, shrink_to) == 0) ++fault_shim_faults;
    }
    return 0;
}

/* How many of n bytes a read may give. */
static size_t allowed(size_t n) {
    long long most = env_offset("FAULT_SHORT_READS");
    if (most <= 0 || n <= (size_t)most) return n;
    ++fault_shim_faults;
    return (size_t)most;
}

static ssize_t faulty_pread(pread_fn real, int fd, void *buf, size_t n, off_t off) {
    return before_read(n, off) < 0 ? -1 : real(fd, buf, allowed(n), off);
}

static ssize_t faulty_preadv(preadv_fn real, int fd, const struct iovec *iov, int count,
                             off_t off) {
    size_t n = 0;
    for (int k = 0; k < count; ++k) n += iov[k].iov_len;
    if (before_read(n, off) < 0) return -1;
    size_t left = allowed(n);
    struct iovec cut[1024];
    int parts = 0;
    for (; parts < count && parts < 1024 && left > 0; ++parts) {
        cut[parts] = iov[parts];
        if (cut[parts].iov_len > left) cut[parts].iov_len = left;
        left -= cut[parts].iov_len;
    }
    return real(fd, cut, parts, off);
}

ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    static pread_fn real = NULL;
    if (!real) real = (pread_fn)dlsym(RTLD_NEXT, "pread");
    return faulty_pread(real, fd, buf, n, off);
}

ssize_t pread64(int fd, void *buf, size_t n, off_t off) {
    static pread_fn real = NULL;
    if (!real) real = (pread_fn)dlsym(RTLD_NEXT, "pread64");
    return faulty_pread(real, fd, buf, n, off);
}

ssize_t preadv(int fd, const struct iovec *iov, int count, off_t off) {
    static preadv_fn real = NULL;
    if (!real) real = (preadv_fn)dlsym(RTLD_NEXT, "preadv");
    return faulty_preadv(real, fd, iov, count, off);
}

ssize_t preadv64(int fd, const struct iovec *iov, int count, off_t off) {
    static preadv_fn real = NULL;
    if (!real) real = (preadv_fn)dlsym(RTLD_NEXT, "preadv64");
    return faulty_preadv(real, fd, iov, count, off);
}

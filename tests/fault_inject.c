/* Preloaded into corvane by the fault tests. Counts the write-family calls the
 * tool makes on its files (write, pwrite, writev, fsync, fdatasync, rename;
 * standard output and error are not counted) and makes the N-th one fail:
 *   CORVANE_FAULT_CALL=N     which call fails (none when unset)
 *   CORVANE_FAULT_MODE=M     enospc, eio, short (half written, then ENOSPC on the
 *                            next call), or a signal name: int, term, hup
 *   CORVANE_FAULT_LOG=path   appends the name of every counted call, one a line
 *   CORVANE_FAULT_READ=N     the N-th read of a file (not standard input) finds
 *                            the end of the file
 *   CORVANE_FAULT_FCHMOD=1   every fchmod fails with EPERM */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static long g_calls;
static int g_fail_next;

static ssize_t real_write(int fd, const void* buf, size_t n) {
  static ssize_t (*fn)(int, const void*, size_t);
  if (!fn) fn = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  return fn(fd, buf, n);
}

static void log_call(const char* name) {
  const char* path = getenv("CORVANE_FAULT_LOG");
  if (!path) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  real_write(fd, name, strlen(name));
  real_write(fd, "\n", 1);
  close(fd);
}

/* 0: let the call through; 1: fail it with errno set; 2: write it short. */
static int decide(const char* name) {
  if (g_fail_next) {
    g_fail_next = 0;
    log_call(name);
    errno = ENOSPC;
    return 1;
  }
  ++g_calls;
  log_call(name);
  const char* target = getenv("CORVANE_FAULT_CALL");
  if (!target || atol(target) != g_calls) return 0;
  const char* mode = getenv("CORVANE_FAULT_MODE");
  if (!mode) mode = "enospc";
  if (strcmp(mode, "int") == 0) raise(SIGINT);
  if (strcmp(mode, "term") == 0) raise(SIGTERM);
  if (strcmp(mode, "hup") == 0) raise(SIGHUP);
  if (strcmp(mode, "short") == 0 && strstr(name, "write") != NULL) {
    g_fail_next = 1;
    return 2;
  }
  errno = strcmp(mode, "eio") == 0 ? EIO : ENOSPC;
  return 1;
}

ssize_t write(int fd, const void* buf, size_t n) {
  if (fd <= 2) return real_write(fd, buf, n);
  switch (decide("write")) {
    case 1: return -1;
    case 2: return n > 1 ? real_write(fd, buf, n / 2) : (errno = ENOSPC, -1);
    default: return real_write(fd, buf, n);
  }
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  static ssize_t (*fn)(int, const void*, size_t, off_t);
  if (!fn) fn = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  switch (decide("pwrite")) {
    case 1: return -1;
    case 2: return n > 1 ? fn(fd, buf, n / 2, offset) : (errno = ENOSPC, -1);
    default: return fn(fd, buf, n, offset);
  }
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static ssize_t (*fn)(int, const struct iovec*, int);
  if (!fn) fn = (ssize_t(*)(int, const struct iovec*, int))dlsym(RTLD_NEXT, "writev");
  if (fd <= 2) return fn(fd, iov, count);
  if (decide("writev") != 0) return -1;
  return fn(fd, iov, count);
}

int fsync(int fd) {
  static int (*fn)(int);
  if (!fn) fn = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  if (decide("fsync") != 0) {
    errno = EIO;
    return -1;
  }
  return fn(fd);
}

int fdatasync(int fd) {
  static int (*fn)(int);
  if (!fn) fn = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  if (decide("fdatasync") != 0) {
    errno = EIO;
    return -1;
  }
  return fn(fd);
}

ssize_t read(int fd, void* buf, size_t n) {
  static ssize_t (*fn)(int, void*, size_t);
  static long reads;
  if (!fn) fn = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  const char* target = getenv("CORVANE_FAULT_READ");
  if (fd > 2 && target && atol(target) == ++reads) return 0;
  return fn(fd, buf, n);
}

int fchmod(int fd, mode_t mode) {
  static int (*fn)(int, mode_t);
  if (!fn) fn = (int (*)(int, mode_t))dlsym(RTLD_NEXT, "fchmod");
  if (getenv("CORVANE_FAULT_FCHMOD")) {
    errno = EPERM;
    return -1;
  }
  return fn(fd, mode);
}

int rename(const char* from, const char* to) {
  static int (*fn)(const char*, const char*);
  if (!fn) fn = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  if (decide("rename") != 0) {
    errno = EIO;
    return -1;
  }
  return fn(from, to);
}

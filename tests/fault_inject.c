/* Preloaded into corvane by the fault tests. Counts the write-family calls the
 * tool makes on its files (write, pwrite, writev, fsync, fdatasync, rename;
 * standard output and error are not counted) and makes the N-th one fail:
 *   CORVANE_FAULT_CALL=N     which call fails (none when unset)
 *   CORVANE_FAULT_MODE=M     enospc, eio, short (half written, then ENOSPC on the
 *                            next call), a signal name: int, term, hup, quit,
 *                            pipe, xfsz, xcpu, usr1, or run
 *                            (CORVANE_FAULT_COMMAND runs, then the call goes on)
 *   CORVANE_FAULT_LOG=path   appends the name of every counted call, one a line
 *   CORVANE_FAULT_READ=N     the N-th read or pread of a file (not standard
 *                            input) finds the end of the file
 *   CORVANE_HOOK_READ=N      CORVANE_FAULT_COMMAND runs before the N-th read of a file
 *   CORVANE_FAULT_FCHMOD=E   every fchmod fails with EPERM (E=1) or ENOSYS (E=enosys)
 *   CORVANE_FAULT_CREATE=E   creating a file fails with enospc, emfile or eacces
 *   CORVANE_FAULT_MALLOC=N   every allocation of N bytes or more fails
 *   CORVANE_FAULT_FREE_BLOCKS=N  fstatvfs reports N blocks free
 *   CORVANE_FAULT_RESERVE=E  every fallocate fails with enospc or eopnotsupp
 *   CORVANE_RESERVE_LOG=path appends "mode offset length" for every fallocate
 *                            (fallocate is not counted)
 * posix_fallocate is counted as "fallocate", renameat as "rename". */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <sys/wait.h>
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

/* Runs CORVANE_FAULT_COMMAND in a shell free of every fault setting, so the
 * programs it starts are not themselves preloaded, and waits for it. */
static void run_command(void) {
  static const char* const kSettings[] = {"LD_PRELOAD", "CORVANE_FAULT_CALL", "CORVANE_FAULT_MODE",
                                          "CORVANE_FAULT_LOG", "CORVANE_FAULT_READ", "CORVANE_HOOK_READ",
                                          "CORVANE_FAULT_FCHMOD", "CORVANE_FAULT_CREATE", "CORVANE_FAULT_MALLOC"};
  const char* command = getenv("CORVANE_FAULT_COMMAND");
  const pid_t child = fork();
  if (child == 0) {
    for (size_t k = 0; k < sizeof kSettings / sizeof kSettings[0]; ++k) unsetenv(kSettings[k]);
    execl("/bin/sh", "sh", "-c", command ? command : "", (char*)NULL);
    _exit(127);
  }
  if (child > 0) waitpid(child, NULL, 0);
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
  /* A signal that is held or ignored lets the call go on, as a real one would. */
  static const struct { const char* name; int number; } kSignals[] = {
      {"int", SIGINT},   {"term", SIGTERM}, {"hup", SIGHUP},   {"quit", SIGQUIT},
      {"pipe", SIGPIPE}, {"xfsz", SIGXFSZ}, {"xcpu", SIGXCPU}, {"usr1", SIGUSR1}};
  for (size_t k = 0; k < sizeof kSignals / sizeof kSignals[0]; ++k) {
    if (strcmp(mode, kSignals[k].name) == 0) {
      raise(kSignals[k].number);
      return 0;
    }
  }
  if (strcmp(mode, "run") == 0) {
    run_command();
    return 0;
  }
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

/* Reads and positioned reads of a file are counted together, in order. */
static int file_read_hook(int fd) {
  static long reads;
  if (fd <= 2) return 0;
  ++reads;
  const char* target = getenv("CORVANE_FAULT_READ");
  const char* hook = getenv("CORVANE_HOOK_READ");
  if (hook && atol(hook) == reads) run_command();
  return target && atol(target) == reads;
}

ssize_t read(int fd, void* buf, size_t n) {
  static ssize_t (*fn)(int, void*, size_t);
  if (!fn) fn = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  return file_read_hook(fd) ? 0 : fn(fd, buf, n);
}

ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
  static ssize_t (*fn)(int, void*, size_t, off_t);
  if (!fn) fn = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  return file_read_hook(fd) ? 0 : fn(fd, buf, n, offset);
}

int fchmod(int fd, mode_t mode) {
  static int (*fn)(int, mode_t);
  if (!fn) fn = (int (*)(int, mode_t))dlsym(RTLD_NEXT, "fchmod");
  const char* fault = getenv("CORVANE_FAULT_FCHMOD");
  if (fault) {
    errno = strcmp(fault, "enosys") == 0 ? ENOSYS : EPERM;
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

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  static int (*fn)(int, const char*, int, const char*);
  if (!fn) fn = (int (*)(int, const char*, int, const char*))dlsym(RTLD_NEXT, "renameat");
  if (decide("rename") != 0) {
    errno = EIO;
    return -1;
  }
  return fn(from_dir, from, to_dir, to);
}

int posix_fallocate(int fd, off_t offset, off_t length) {
  static int (*fn)(int, off_t, off_t);
  if (!fn) fn = (int (*)(int, off_t, off_t))dlsym(RTLD_NEXT, "posix_fallocate");
  if (decide("fallocate") != 0) {
    /* As ext4 does: the file keeps what was had before the disk was full. */
    struct stat info;
    if (fstat(fd, &info) == 0 && offset + length > info.st_size && ftruncate(fd, info.st_size + 1) != 0) {}
    return ENOSPC;
  }
  return fn(fd, offset, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  static int (*fn)(int, int, off_t, off_t);
  if (!fn) fn = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate");
  const char* path = getenv("CORVANE_RESERVE_LOG");
  const int log = path ? open(path, O_WRONLY | O_CREAT | O_APPEND, 0644) : -1;
  if (log >= 0) {
    char line[64];
    const int length_of_line = snprintf(line, sizeof line, "%d %lld %lld\n", mode, (long long)offset, (long long)length);
    real_write(log, line, (size_t)length_of_line);
    close(log);
  }
  const char* fault = getenv("CORVANE_FAULT_RESERVE");
  if (fault) {
    errno = strcmp(fault, "eopnotsupp") == 0 ? EOPNOTSUPP : ENOSPC;
    return -1;
  }
  return fn(fd, mode, offset, length);
}

int fstatvfs(int fd, struct statvfs* info) {
  static int (*fn)(int, struct statvfs*);
  if (!fn) fn = (int (*)(int, struct statvfs*))dlsym(RTLD_NEXT, "fstatvfs");
  const int result = fn(fd, info);
  const char* blocks = getenv("CORVANE_FAULT_FREE_BLOCKS");
  if (result == 0 && blocks) info->f_bavail = (fsblkcnt_t)atol(blocks);
  return result;
}

int openat(int dir, const char* path, int flags, ...) {
  static int (*fn)(int, const char*, int, ...);
  if (!fn) fn = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = (mode_t)va_arg(args, int);
    va_end(args);
    const char* fault = getenv("CORVANE_FAULT_CREATE");
    if (fault) {
      errno = strcmp(fault, "emfile") == 0 ? EMFILE : strcmp(fault, "eacces") == 0 ? EACCES : ENOSPC;
      return -1;
    }
  }
  return fn(dir, path, flags, mode);
}

extern void* __libc_malloc(size_t size);

void* malloc(size_t size) {
  const char* limit = getenv("CORVANE_FAULT_MALLOC");
  if (limit && size >= (size_t)atol(limit)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

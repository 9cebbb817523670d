/* Preloaded into corvane by the fault tests. Counts the write-family calls the
 * tool makes on its files (write, pwrite, writev, fsync, fdatasync, syncfs, rename;
 * standard output and error are not counted) and makes the N-th one fail:
 *   CORVANE_FAULT_CALL=N     which call fails (none when unset)
 *   CORVANE_FAULT_MODE=M     enospc, eio, short (half written, then ENOSPC on the
 *                            next call), a signal name: int, term, hup, quit,
 *                            pipe, xfsz, xcpu, usr1, or run
 *                            (CORVANE_FAULT_COMMAND runs, then the call goes on)
 *   CORVANE_FAULT_LOG=path   appends the name of every counted call, one a line
 *   CORVANE_FAULT_READ=N     the N-th read or pread of a file (not standard
 *                            input) finds the end of the file, or fails with
 *                            EIO when CORVANE_FAULT_READ_EIO is set
 *   CORVANE_HOOK_READ=N      CORVANE_FAULT_COMMAND runs before the N-th read of a file
 *   CORVANE_FAULT_FCHMOD=E   every fchmod fails with EPERM (E=1), ENOSYS (E=enosys) or EIO (E=eio)
 *   CORVANE_FAULT_CREATE=E   creating a file fails with enospc, emfile or eacces
 *   CORVANE_FAULT_MALLOC=N   every allocation of N bytes or more fails
 *   CORVANE_FAULT_FREE_BLOCKS=N  fstatvfs reports N blocks free
 *   CORVANE_FAULT_RESERVE=E  every fallocate of a new file fails with enospc or eopnotsupp;
 *                            eopnotsupp fails the others too (a filesystem without them)
 *   CORVANE_RESERVE_LOG=path appends "mode offset length" for every fallocate
 *                            of a new file (those are not counted)
 *   CORVANE_NO_TMPFILE=1     the filesystem has no unnamed files (O_TMPFILE)
 *   CORVANE_SLOW_REPORT=1    each write to standard error waits 0.1 s first
 *   CORVANE_RECORD=path      appends every change a disk would see, one a line:
 *                            W ino offset hex (a write), S ino (fsync), D ino
 *                            (fsync of a folder), T ino size, C ino folder name
 *                            (a named file created), L ino folder name (an
 *                            unnamed file named), R folder from to, X folder a b
 *                            (names exchanged), U folder name, F (syncfs),
 *                            E hex (what the report said, as written)
 * The calls of every thread are counted together, in the order they happen;
 * a signal goes to the process, as one sent from outside does.
 * fdatasync is recorded as fsync is (S).
 * posix_fallocate and fallocate that keeps the size (reserving room to write
 * through an image) are counted as "fallocate", renameat and renameat2 as "rename";
 * creating an unnamed file (O_TMPFILE) is creating a file. */
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

static long g_calls;  /* every thread's calls, counted atomically */

static ssize_t real_write(int fd, const void* buf, size_t n);

/* One line of the CORVANE_RECORD log: `text`, then `data` in hex when given.
 * Built in a buffer on the stack, a piece at a time: this library's malloc is
 * not the one a sanitizer's free expects. */
static void record(const char* text, const void* data, size_t size) {
  const char* path = getenv("CORVANE_RECORD");
  if (!path) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  static const char kHex[] = "0123456789abcdef";
  char piece[4096];
  size_t used = 0;
  real_write(fd, text, strlen(text));
  for (size_t k = 0; k < size; ++k) {
    if (used + 3 > sizeof piece) {  /* two digits, and room left for the line end */
      real_write(fd, piece, used);
      used = 0;
    }
    piece[used++] = kHex[((const unsigned char*)data)[k] >> 4];
    piece[used++] = kHex[((const unsigned char*)data)[k] & 15];
  }
  piece[used++] = '\n';
  real_write(fd, piece, used);
  close(fd);
}

static unsigned long inode_of(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? (unsigned long)info.st_ino : 0;
}

static int is_recorded(int fd) {
  struct stat info;
  return getenv("CORVANE_RECORD") && fd > 2 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

static void record_write(int fd, const void* buf, ssize_t written, off_t offset) {
  if (written <= 0) return;
  char text[96];
  snprintf(text, sizeof text, "W %lu %lld ", inode_of(fd), (long long)offset);
  record(text, buf, (size_t)written);
}

static void record_names(char kind, int dir, const char* first, const char* second) {
  char text[1024];
  if (second) {
    snprintf(text, sizeof text, "%c %lu %s %s", kind, inode_of(dir), first, second);
  } else {
    snprintf(text, sizeof text, "%c %lu %s", kind, inode_of(dir), first);
  }
  record(text, NULL, 0);
}
static __thread int g_fail_next;  /* the next call of the same thread */

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
                                          "CORVANE_FAULT_LOG", "CORVANE_FAULT_READ", "CORVANE_FAULT_READ_EIO", "CORVANE_HOOK_READ",
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
  const long call = __atomic_add_fetch(&g_calls, 1, __ATOMIC_SEQ_CST);
  log_call(name);
  const char* target = getenv("CORVANE_FAULT_CALL");
  if (!target || atol(target) != call) return 0;
  const char* mode = getenv("CORVANE_FAULT_MODE");
  if (!mode) mode = "enospc";
  /* A signal that is held or ignored lets the call go on, as a real one would. */
  static const struct { const char* name; int number; } kSignals[] = {
      {"int", SIGINT},   {"term", SIGTERM}, {"hup", SIGHUP},   {"quit", SIGQUIT},
      {"pipe", SIGPIPE}, {"xfsz", SIGXFSZ}, {"xcpu", SIGXCPU}, {"usr1", SIGUSR1}};
  for (size_t k = 0; k < sizeof kSignals / sizeof kSignals[0]; ++k) {
    if (strcmp(mode, kSignals[k].name) == 0) {
      kill(getpid(), kSignals[k].number);
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
  if (fd == 2 && getenv("CORVANE_SLOW_REPORT")) usleep(100000);
  if (fd == 2 && getenv("CORVANE_RECORD")) {
    const ssize_t said = real_write(fd, buf, n);
    if (said > 0) record("E ", buf, (size_t)said);
    return said;
  }
  if (fd <= 2) return real_write(fd, buf, n);
  const int recorded = is_recorded(fd);
  const off_t offset = recorded ? lseek(fd, 0, SEEK_CUR) : 0;
  ssize_t written;
  switch (decide("write")) {
    case 1: return -1;
    case 2: written = n > 1 ? real_write(fd, buf, n / 2) : (errno = ENOSPC, -1); break;
    default: written = real_write(fd, buf, n);
  }
  if (recorded) record_write(fd, buf, written, offset);
  return written;
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
  static ssize_t (*fn)(int, const void*, size_t, off_t);
  if (!fn) fn = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  ssize_t written;
  switch (decide("pwrite")) {
    case 1: return -1;
    case 2: written = n > 1 ? fn(fd, buf, n / 2, offset) : (errno = ENOSPC, -1); break;
    default: written = fn(fd, buf, n, offset);
  }
  if (is_recorded(fd)) record_write(fd, buf, written, offset);
  return written;
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
  const int result = fn(fd);
  struct stat info;
  if (result == 0 && getenv("CORVANE_RECORD") && fstat(fd, &info) == 0) {
    char text[64];
    snprintf(text, sizeof text, "%c %lu", S_ISDIR(info.st_mode) ? 'D' : 'S', (unsigned long)info.st_ino);
    record(text, NULL, 0);
  }
  return result;
}

int fdatasync(int fd) {
  static int (*fn)(int);
  if (!fn) fn = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
  if (decide("fdatasync") != 0) {
    errno = EIO;
    return -1;
  }
  const int result = fn(fd);
  if (result == 0 && getenv("CORVANE_RECORD")) {
    char text[64];
    snprintf(text, sizeof text, "S %lu", inode_of(fd));
    record(text, NULL, 0);
  }
  return result;
}

/* Reads and positioned reads of a file are counted together, in order. */
static int file_read_hook(int fd) {
  static long counted;
  if (fd <= 2) return 0;
  const long reads = __atomic_add_fetch(&counted, 1, __ATOMIC_SEQ_CST);
  const char* target = getenv("CORVANE_FAULT_READ");
  const char* hook = getenv("CORVANE_HOOK_READ");
  if (hook && atol(hook) == reads) run_command();
  return target && atol(target) == reads;
}

/* What the chosen read returns: the end of the file, or a disk error. */
static ssize_t failed_read(void) {
  if (!getenv("CORVANE_FAULT_READ_EIO")) return 0;
  errno = EIO;
  return -1;
}

ssize_t read(int fd, void* buf, size_t n) {
  static ssize_t (*fn)(int, void*, size_t);
  if (!fn) fn = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  return file_read_hook(fd) ? failed_read() : fn(fd, buf, n);
}

ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
  static ssize_t (*fn)(int, void*, size_t, off_t);
  if (!fn) fn = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  return file_read_hook(fd) ? failed_read() : fn(fd, buf, n, offset);
}

int fchmod(int fd, mode_t mode) {
  static int (*fn)(int, mode_t);
  if (!fn) fn = (int (*)(int, mode_t))dlsym(RTLD_NEXT, "fchmod");
  const char* fault = getenv("CORVANE_FAULT_FCHMOD");
  if (fault) {
    errno = strcmp(fault, "enosys") == 0 ? ENOSYS : strcmp(fault, "eio") == 0 ? EIO : EPERM;
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
  const int result = fn(from_dir, from, to_dir, to);
  if (result == 0) record_names('R', from_dir, from, to);
  return result;
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
  static int (*fn)(int, const char*, int, const char*, unsigned int);
  if (!fn) fn = (int (*)(int, const char*, int, const char*, unsigned int))dlsym(RTLD_NEXT, "renameat2");
  if (decide("rename") != 0) {
    errno = EIO;
    return -1;
  }
  const int result = fn(from_dir, from, to_dir, to, flags);
  if (result == 0) record_names(flags & RENAME_EXCHANGE ? 'X' : 'R', from_dir, from, to);
  return result;
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  static int (*fn)(int, const char*, int, const char*, int);
  if (!fn) fn = (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
  const int result = fn(from_dir, from, to_dir, to, flags);
  struct stat info;
  if (result == 0 && fstatat(to_dir, to, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    char text[1024];
    snprintf(text, sizeof text, "L %lu %lu %s", (unsigned long)info.st_ino, inode_of(to_dir), to);
    record(text, NULL, 0);
  }
  return result;
}

int unlinkat(int dir, const char* name, int flags) {
  static int (*fn)(int, const char*, int);
  if (!fn) fn = (int (*)(int, const char*, int))dlsym(RTLD_NEXT, "unlinkat");
  const int result = fn(dir, name, flags);
  if (result == 0) record_names('U', dir, name, NULL);
  return result;
}

int syncfs(int fd) {
  static int (*fn)(int);
  if (!fn) fn = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
  if (decide("syncfs") != 0) {
    errno = EIO;
    return -1;
  }
  const int result = fn(fd);
  if (result == 0) record("F", NULL, 0);
  return result;
}

int ftruncate(int fd, off_t size) {
  static int (*fn)(int, off_t);
  if (!fn) fn = (int (*)(int, off_t))dlsym(RTLD_NEXT, "ftruncate");
  const int result = fn(fd, size);
  if (result == 0 && is_recorded(fd)) {
    char text[64];
    snprintf(text, sizeof text, "T %lu %lld", inode_of(fd), (long long)size);
    record(text, NULL, 0);
  }
  return result;
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  static int (*fn)(int, int, off_t, off_t);
  if (!fn) fn = (int (*)(int, int, off_t, off_t))dlsym(RTLD_NEXT, "fallocate");
  if (mode == 0) {
    /* A new file reserved whole before it is written: logged, never counted. */
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
  } else if (getenv("CORVANE_FAULT_RESERVE") && strcmp(getenv("CORVANE_FAULT_RESERVE"), "eopnotsupp") == 0) {
    errno = EOPNOTSUPP;
    return -1;
  } else if (decide("fallocate") != 0) {
    /* The file keeps whatever the failed call got. */
    struct stat info;
    if (fstat(fd, &info) == 0 && offset + length > info.st_size && ftruncate(fd, info.st_size + 1) != 0) {}
    errno = ENOSPC;
    return -1;
  }
  struct stat before;
  const int known = fstat(fd, &before) == 0;
  const int result = fn(fd, mode, offset, length);
  struct stat info;
  if (result == 0 && known && is_recorded(fd) && fstat(fd, &info) == 0 && info.st_size != before.st_size) {
    char text[64];
    snprintf(text, sizeof text, "T %lu %lld", (unsigned long)info.st_ino, (long long)info.st_size);
    record(text, NULL, 0);
  }
  return result;
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
  const int result = fn(fd, offset, length);
  struct stat info;
  if (result == 0 && is_recorded(fd) && fstat(fd, &info) == 0) {
    char text[64];
    snprintf(text, sizeof text, "T %lu %lld", (unsigned long)info.st_ino, (long long)info.st_size);
    record(text, NULL, 0);
  }
  return result;
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
  if ((flags & O_TMPFILE) == O_TMPFILE && getenv("CORVANE_NO_TMPFILE")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
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
  const int fd = fn(dir, path, flags, mode);
  if (fd >= 0 && (flags & O_CREAT) && getenv("CORVANE_RECORD")) {
    char text[1024];
    snprintf(text, sizeof text, "C %lu %lu %s", inode_of(fd), inode_of(dir), path);
    record(text, NULL, 0);
  }
  return fd;
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

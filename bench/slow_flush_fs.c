/* A disk whose every flush takes a while, as a USB stick, an SD card or a
 * spinning disk has: a FUSE filesystem holding one file, disk.img, kept in
 * BACKING, whose fsync waits FLUSH_MS milliseconds after flushing the backing
 * file. bench/whole.sh puts a loop device over it, formats it and runs the
 * folder cases there: each flush of the device costs at least FLUSH_MS.
 *   slow_flush_fs BACKING FLUSH_MS MOUNTPOINT [fuse options] */
#define FUSE_USE_VERSION 31
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int g_backing = -1;
static long g_flush_ms = 5;

static int is_disk(const char* path) { return strcmp(path, "/disk.img") == 0; }

static int get_attributes(const char* path, struct stat* info, struct fuse_file_info* file) {
  (void)file;
  if (strcmp(path, "/") == 0) {
    memset(info, 0, sizeof *info);
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
    return 0;
  }
  if (!is_disk(path)) return -ENOENT;
  if (fstat(g_backing, info) != 0) return -errno;
  info->st_mode = S_IFREG | 0644;
  return 0;
}

static int list(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* file,
                enum fuse_readdir_flags flags) {
  (void)offset;
  (void)file;
  (void)flags;
  if (strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", NULL, 0, 0);
  fill(buffer, "..", NULL, 0, 0);
  fill(buffer, "disk.img", NULL, 0, 0);
  return 0;
}

static int open_disk(const char* path, struct fuse_file_info* file) {
  (void)file;
  return is_disk(path) ? 0 : -ENOENT;
}

static int read_disk(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
  (void)path;
  (void)file;
  const ssize_t got = pread(g_backing, buffer, size, offset);
  return got < 0 ? -errno : (int)got;
}

static int write_disk(const char* path, const char* buffer, size_t size, off_t offset, struct fuse_file_info* file) {
  (void)path;
  (void)file;
  const ssize_t put = pwrite(g_backing, buffer, size, offset);
  return put < 0 ? -errno : (int)put;
}

/* The slow part: what a device's cache flush costs. */
static int flush_disk(const char* path, int data_only, struct fuse_file_info* file) {
  (void)path;
  (void)data_only;
  (void)file;
  if (fdatasync(g_backing) != 0) return -errno;
  const struct timespec pause = {g_flush_ms / 1000, (g_flush_ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  g_backing = open(argv[1], O_RDWR);
  if (g_backing < 0) return 1;
  g_flush_ms = atol(argv[2]);
  static const struct fuse_operations kOperations = {
      .getattr = get_attributes, .readdir = list, .open = open_disk,
      .read = read_disk, .write = write_disk, .fsync = flush_disk};
  char* fuse_args[16] = {argv[0], argv[3], "-f"};
  int count = 3;
  for (int k = 4; k < argc && count < 15; ++k) fuse_args[count++] = argv[k];
  return fuse_main(count, fuse_args, &kOperations, NULL);
}

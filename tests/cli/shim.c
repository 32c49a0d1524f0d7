/* A library preloaded into the tool by its tests (LD_PRELOAD): it makes
 * chosen system calls behave as on a system or file system without some
 * feature, or records them, so that the tool's fallbacks and the order of its
 * steps can be checked on any machine. LZRING_SHIM holds comma-separated
 * words:
 *
 *   no_tmpfile    openat() with O_TMPFILE fails with EOPNOTSUPP
 *   no_renameat2  renameat2() fails with EINVAL, as on file systems without
 *                 its flags
 *   no_flink      linkat() of a descriptor by itself (AT_EMPTY_PATH) fails
 *                 with ENOENT, as for a user without the privilege
 *   no_metadata   fchmod() and futimens() fail with EPERM
 *   race          another file takes the destination's name just before the
 *                 tool links or renames its output there without replacing
 *   grow_input    the first read of a regular file appends a byte to it
 *   slow_read     the first read of a regular file waits 300 ms first, longer
 *                 than the progress line waits before it is first drawn
 *   threads=N     only the first N pthread_create() calls succeed
 *   log=PATH      fsync() (of a file or a directory), syncfs(), the naming
 *                 calls and the removals are appended to PATH, one line each
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* Finds `word` among the words of LZRING_SHIM; its text after '=' (up to
 * the next comma) goes to `value` when one is asked for. */
static int Find(const char* word, char* value, size_t size) {
  const char* words = getenv("LZRING_SHIM");
  const size_t n = strlen(word);
  for (const char* p = words; p != NULL && *p != '\0';) {
    const size_t len = strcspn(p, ",");
    if (len >= n && strncmp(p, word, n) == 0 && (len == n || p[n] == '=')) {
      if (value != NULL) {
        const size_t v = len > n ? len - n - 1 : 0;
        if (v >= size) return 0;
        memcpy(value, p + len - v, v);
        value[v] = '\0';
      }
      return 1;
    }
    p += len + (p[len] == ',');
  }
  return 0;
}

static int Has(const char* word) {
  return Find(word, NULL, 0);
}

static int Value(const char* word, char* value, size_t size) {
  return Find(word, value, size);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static void Log(const char* what, const char* name) {
  char path[4096];
  if (!Value("log", path, sizeof path)) return;
  char line[4200];
  const int n = snprintf(line, sizeof line, "%s%s%s\n", what, name ? " " : "", name ? name : "");
  const int fd = REAL(openat)(AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (n > 0) (void)!REAL(write)(fd, line, (size_t)n);
  close(fd);
}

static const char* Base(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash != NULL ? slash + 1 : path;
}

/* Takes `name` in `dir_fd` with a file of other bytes. */
static void Race(int dir_fd, const char* name) {
  if (!Has("race")) return;
  const int fd = REAL(openat)(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  (void)!REAL(write)(fd, "other", 5);
  close(fd);
}

int openat(int dir_fd, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = (mode_t)va_arg(args, int);
    va_end(args);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE && Has("no_tmpfile")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return REAL(openat)(dir_fd, path, flags, mode);
}

int renameat2(int old_dir, const char* from, int new_dir, const char* to, unsigned flags) {
  if (Has("no_renameat2")) {
    errno = EINVAL;
    return -1;
  }
  Log("name", Base(to));
  if ((flags & RENAME_NOREPLACE) != 0) Race(new_dir, to);
  return REAL(renameat2)(old_dir, from, new_dir, to, flags);
}

int renameat(int old_dir, const char* from, int new_dir, const char* to) {
  Log("name", Base(to));
  return REAL(renameat)(old_dir, from, new_dir, to);
}

int linkat(int old_dir, const char* from, int new_dir, const char* to, int flags) {
  if ((flags & AT_EMPTY_PATH) != 0 && Has("no_flink")) {
    errno = ENOENT;
    return -1;
  }
  Log("name", Base(to));
  Race(new_dir, to);
  return REAL(linkat)(old_dir, from, new_dir, to, flags);
}

int unlink(const char* path) {
  Log("unlink", Base(path));
  return REAL(unlink)(path);
}

int unlinkat(int dir_fd, const char* path, int flags) {
  Log("unlink", Base(path));
  return REAL(unlinkat)(dir_fd, path, flags);
}

int fsync(int fd) {
  struct stat st;
  Log(fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "fsync dir" : "fsync file", NULL);
  return REAL(fsync)(fd);
}

int syncfs(int fd) {
  Log("syncfs", NULL);
  return REAL(syncfs)(fd);
}

int fchmod(int fd, mode_t mode) {
  if (Has("no_metadata")) {
    errno = EPERM;
    return -1;
  }
  return REAL(fchmod)(fd, mode);
}

int futimens(int fd, const struct timespec times[2]) {
  if (Has("no_metadata")) {
    errno = EPERM;
    return -1;
  }
  return REAL(futimens)(fd, times);
}

ssize_t read(int fd, void* buffer, size_t count) {
  static int grown = 0;
  static int slowed = 0;
  struct stat st;
  if (!slowed && Has("slow_read") && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    slowed = 1;
    struct timespec wait = {0, 300 * 1000 * 1000};
    const int saved = errno;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
    errno = saved;
  }
  if (!grown && Has("grow_input") && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    grown = 1;
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const int w = REAL(openat)(AT_FDCWD, self, O_WRONLY | O_APPEND | O_CLOEXEC, 0);
    if (w >= 0) {
      (void)!REAL(write)(w, "+", 1);
      close(w);
    }
  }
  return REAL(read)(fd, buffer, count);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
  static int started = 0;
  char limit[32];
  if (Value("threads", limit, sizeof limit) &&
      __atomic_fetch_add(&started, 1, __ATOMIC_SEQ_CST) >= atoi(limit)) {
    return EAGAIN;
  }
  return REAL(pthread_create)(thread, attr, start, arg);
}

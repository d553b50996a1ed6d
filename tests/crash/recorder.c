// A recorder loaded into a process with LD_PRELOAD: every call that changes a
// file in one folder (TL_CRASH_DIR) or forces it to the disk is written to a
// trace (TL_CRASH_TRACE), one line per call, and then performed as asked. The
// crash-state test replays the trace to build the states a crash or a power
// loss could leave behind (crash_trace.h has the line format).
//
// Only the files directly inside the folder, and the folder itself, are
// followed; a descriptor is followed from the open that names such a file to
// its close. The trace is written with the real write, so it never records
// itself, and one line is one write to a file opened O_APPEND, so lines of
// several threads never interleave.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define TL_MAX_FDS 4096

enum Kind { kNone = 0, kFile = 1, kFolder = 2 };

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static char g_dir[PATH_MAX];
static size_t g_dir_len;
static int g_trace = -1;
static unsigned char g_kind[TL_MAX_FDS];
static char* g_name[TL_MAX_FDS];

// The next definition of `name` (libc's), looked up once.
#define REAL(name)                                                         \
  ({                                                                       \
    static __typeof__(&name) real_##name;                                  \
    if (real_##name == NULL) real_##name = (__typeof__(&name))Real(#name); \
    real_##name;                                                           \
  })

static void* Real(const char* name) {
  void* f = dlsym(RTLD_NEXT, name);
  if (f == NULL) abort();  // a libc without the call: nothing to pass it on to
  return f;
}

__attribute__((constructor)) static void Init(void) {
  const char* dir = getenv("TL_CRASH_DIR");
  const char* trace = getenv("TL_CRASH_TRACE");
  if (dir == NULL || trace == NULL || realpath(dir, g_dir) == NULL) return;
  g_dir_len = strlen(g_dir);
  g_trace = REAL(open)(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

// The name of `path` inside the folder ("" for the folder itself), or NULL
// when it lies elsewhere. `at` is the folder a relative path starts from
// (AT_FDCWD: the working folder).
static const char* Inside(int at, const char* path, char* buf, size_t size) {
  if (g_trace < 0 || path == NULL) return NULL;
  char full[PATH_MAX * 2];
  if (path[0] == '/') {
    snprintf(full, sizeof full, "%s", path);
  } else if (at == AT_FDCWD) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == NULL) return NULL;
    snprintf(full, sizeof full, "%s/%s", cwd, path);
  } else if (at >= 0 && at < TL_MAX_FDS && g_kind[at] == kFolder) {
    snprintf(full, sizeof full, "%s/%s", g_dir, path);
  } else {
    return NULL;
  }
  // "./" steps and trailing slashes say nothing about which file is meant.
  char* p;
  while ((p = strstr(full, "/./")) != NULL) memmove(p, p + 2, strlen(p + 2) + 1);
  size_t len = strlen(full);
  while (len > 1 && full[len - 1] == '/') full[--len] = 0;
  if (len > 2 && strcmp(full + len - 2, "/.") == 0) full[len -= 2] = 0;
  if (strncmp(full, g_dir, g_dir_len) != 0) return NULL;
  if (full[g_dir_len] == 0) {
    buf[0] = 0;
    return buf;
  }
  if (full[g_dir_len] != '/' || strchr(full + g_dir_len + 1, '/') != NULL) return NULL;
  snprintf(buf, size, "%s", full + g_dir_len + 1);
  return buf;
}

// Appends `name` percent-escaped (bytes other than letters, digits and
// "._-" as %XX), so that a line always splits at its spaces.
static size_t PutName(char* out, const char* name) {
  static const char kHex[] = "0123456789abcdef";
  size_t n = 0;
  for (const unsigned char* c = (const unsigned char*)name; *c != 0; ++c) {
    if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
        *c == '.' || *c == '_' || *c == '-') {
      out[n++] = (char)*c;
    } else {
      out[n++] = '%';
      out[n++] = kHex[*c >> 4];
      out[n++] = kHex[*c & 15];
    }
  }
  out[n] = 0;
  return n;
}

// One trace line: `op`, then the escaped names, then `tail` (already text),
// then `data` in hex when given. Called with the lock held.
static void Emit(const char* op, const char* a, const char* b, const char* tail, const void* data,
                 size_t len) {
  static const char kHex[] = "0123456789abcdef";
  const size_t room = 64 + 3 * PATH_MAX * 2 + (tail ? strlen(tail) : 0) + 2 * len + 2;
  char* line = malloc(room);
  if (line == NULL) abort();  // a trace with a hole would replay as another run
  size_t n = (size_t)snprintf(line, room, "%s", op);
  if (a != NULL) {
    line[n++] = ' ';
    n += PutName(line + n, a);
  }
  if (b != NULL) {
    line[n++] = ' ';
    n += PutName(line + n, b);
  }
  if (tail != NULL) n += (size_t)snprintf(line + n, room - n, " %s", tail);
  if (data != NULL) {
    line[n++] = ' ';
    const unsigned char* d = data;
    for (size_t i = 0; i < len; ++i) {
      line[n++] = kHex[d[i] >> 4];
      line[n++] = kHex[d[i] & 15];
    }
  }
  line[n++] = '\n';
  for (size_t done = 0; done < n;) {
    const ssize_t w = REAL(write)(g_trace, line + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) abort();
    done += (size_t)w;
  }
  free(line);
}

static void Follow(int fd, const char* name) {
  if (fd < 0 || fd >= TL_MAX_FDS) return;
  free(g_name[fd]);
  g_name[fd] = strdup(name);
  g_kind[fd] = name[0] == 0 ? kFolder : kFile;
}

static void Forget(int fd) {
  if (fd < 0 || fd >= TL_MAX_FDS) return;
  free(g_name[fd]);
  g_name[fd] = NULL;
  g_kind[fd] = kNone;
}

static int Followed(int fd) { return fd >= 0 && fd < TL_MAX_FDS && g_kind[fd] != kNone; }

// The open itself, recorded when it makes the file or empties it.
static int OpenAt(int at, const char* path, int flags, mode_t mode,
                  int (*real)(int, const char*, int, ...)) {
  char buf[PATH_MAX];
  const char* name = Inside(at, path, buf, sizeof buf);
  if (name == NULL) return real(at, path, flags, mode);
  pthread_mutex_lock(&g_lock);
  struct stat st;
  const int existed = fstatat(at, path, &st, 0) == 0;
  const int fd = real(at, path, flags, mode);
  const int error = errno;
  if (fd >= 0) {
    if ((flags & O_CREAT) && !existed) {
      Emit("create", name, NULL, NULL, NULL, 0);
    } else if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY && st.st_size > 0) {
      Emit("truncate", name, NULL, "0", NULL, 0);
    }
    Follow(fd, name);
  }
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return fd;
}

static mode_t ModeArg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  return OpenAt(AT_FDCWD, path, flags, mode, REAL(openat));
}

int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  return OpenAt(AT_FDCWD, path, flags, mode, REAL(openat64));
}

int openat(int at, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  return OpenAt(at, path, flags, mode, REAL(openat));
}

int openat64(int at, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  return OpenAt(at, path, flags, mode, REAL(openat64));
}

// The checked forms a fortified build calls for an open without a mode.
int __open_2(const char* path, int flags) { return OpenAt(AT_FDCWD, path, flags, 0, REAL(openat)); }
int __open64_2(const char* path, int flags) {
  return OpenAt(AT_FDCWD, path, flags, 0, REAL(openat64));
}
int __openat_2(int at, const char* path, int flags) {
  return OpenAt(at, path, flags, 0, REAL(openat));
}

int creat(const char* path, mode_t mode) {
  return OpenAt(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode, REAL(openat));
}
int creat64(const char* path, mode_t mode) { return creat(path, mode); }

int close(int fd) {
  if (Followed(fd)) {
    pthread_mutex_lock(&g_lock);
    Forget(fd);
    pthread_mutex_unlock(&g_lock);
  }
  return REAL(close)(fd);
}

static int Duplicated(int old_fd, int new_fd) {
  if (new_fd >= 0 && new_fd != old_fd) {
    pthread_mutex_lock(&g_lock);
    if (Followed(old_fd)) {
      Follow(new_fd, g_name[old_fd]);
    } else {
      Forget(new_fd);
    }
    pthread_mutex_unlock(&g_lock);
  }
  return new_fd;
}

int dup(int fd) { return Duplicated(fd, REAL(dup)(fd)); }
int dup2(int fd, int to) { return Duplicated(fd, REAL(dup2)(fd, to)); }
int dup3(int fd, int to, int flags) { return Duplicated(fd, REAL(dup3)(fd, to, flags)); }

// A write of `len` bytes at `offset` that the system reported done.
static void RecordWrite(int fd, const void* data, ssize_t done, off_t offset) {
  if (done <= 0) return;
  char tail[32];
  snprintf(tail, sizeof tail, "%lld", (long long)offset);
  Emit("write", g_name[fd], NULL, tail, data, (size_t)done);
}

ssize_t pwrite(int fd, const void* data, size_t len, off_t offset) {
  if (!Followed(fd)) return REAL(pwrite)(fd, data, len, offset);
  pthread_mutex_lock(&g_lock);
  const ssize_t done = REAL(pwrite)(fd, data, len, offset);
  const int error = errno;
  RecordWrite(fd, data, done, offset);
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return done;
}

ssize_t pwrite64(int fd, const void* data, size_t len, off64_t offset) {
  return pwrite(fd, data, len, (off_t)offset);
}

ssize_t write(int fd, const void* data, size_t len) {
  if (!Followed(fd)) return REAL(write)(fd, data, len);
  pthread_mutex_lock(&g_lock);
  // Where the bytes land: the position after the write, less what it wrote
  // (also right for O_APPEND).
  const ssize_t done = REAL(write)(fd, data, len);
  const int error = errno;
  if (done > 0) RecordWrite(fd, data, done, lseek(fd, 0, SEEK_CUR) - done);
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return done;
}

// The bytes of an I/O vector, gathered for the trace.
static void* Gather(const struct iovec* iov, int count, size_t* len) {
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += iov[i].iov_len;
  char* all = malloc(total + 1);
  if (all == NULL) abort();
  size_t at = 0;
  for (int i = 0; i < count; ++i) {
    memcpy(all + at, iov[i].iov_base, iov[i].iov_len);
    at += iov[i].iov_len;
  }
  *len = total;
  return all;
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  if (!Followed(fd)) return REAL(writev)(fd, iov, count);
  pthread_mutex_lock(&g_lock);
  const ssize_t done = REAL(writev)(fd, iov, count);
  const int error = errno;
  if (done > 0) {
    size_t len = 0;
    void* all = Gather(iov, count, &len);
    RecordWrite(fd, all, done, lseek(fd, 0, SEEK_CUR) - done);
    free(all);
  }
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return done;
}

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  if (!Followed(fd)) return REAL(pwritev)(fd, iov, count, offset);
  pthread_mutex_lock(&g_lock);
  const ssize_t done = REAL(pwritev)(fd, iov, count, offset);
  const int error = errno;
  if (done > 0) {
    size_t len = 0;
    void* all = Gather(iov, count, &len);
    RecordWrite(fd, all, done, offset);
    free(all);
  }
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return done;
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off64_t offset) {
  return pwritev(fd, iov, count, (off_t)offset);
}

static int Truncated(int fd, int rc, off_t len) {
  if (rc == 0) {
    char tail[32];
    snprintf(tail, sizeof tail, "%lld", (long long)len);
    Emit("truncate", g_name[fd], NULL, tail, NULL, 0);
  }
  return rc;
}

int ftruncate(int fd, off_t len) {
  if (!Followed(fd)) return REAL(ftruncate)(fd, len);
  pthread_mutex_lock(&g_lock);
  const int rc = REAL(ftruncate)(fd, len);
  const int error = errno;
  Truncated(fd, rc, len);
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return rc;
}

int ftruncate64(int fd, off64_t len) { return ftruncate(fd, (off_t)len); }

// fsync and fdatasync of a file force its bytes; of the folder, its names.
static int Synced(const char* op, int fd, int (*real)(int)) {
  if (!Followed(fd)) return real(fd);
  pthread_mutex_lock(&g_lock);
  const int rc = real(fd);
  const int error = errno;
  if (rc == 0) {
    if (g_kind[fd] == kFolder) {
      Emit("fsyncdir", NULL, NULL, NULL, NULL, 0);
    } else {
      Emit(op, g_name[fd], NULL, NULL, NULL, 0);
    }
  }
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return rc;
}

int fsync(int fd) { return Synced("fsync", fd, REAL(fsync)); }
int fdatasync(int fd) { return Synced("fdatasync", fd, REAL(fdatasync)); }

static int RenameAt(int from_at, const char* from, int to_at, const char* to, unsigned flags) {
  char a[PATH_MAX], b[PATH_MAX];
  const char* src = Inside(from_at, from, a, sizeof a);
  const char* dst = Inside(to_at, to, b, sizeof b);
  if (src == NULL && dst == NULL) return REAL(renameat2)(from_at, from, to_at, to, flags);
  pthread_mutex_lock(&g_lock);
  const int rc = REAL(renameat2)(from_at, from, to_at, to, flags);
  const int error = errno;
  if (rc == 0) {
    if (src != NULL && dst != NULL) {
      Emit("rename", src, dst, NULL, NULL, 0);
      // Descriptors open on the file now write under its new name.
      for (int fd = 0; fd < TL_MAX_FDS; ++fd) {
        if (g_kind[fd] == kFile && strcmp(g_name[fd], src) == 0) Follow(fd, dst);
      }
    } else if (src != NULL) {
      Emit("unlink", src, NULL, NULL, NULL, 0);  // moved out: gone from the folder
    } else {
      // Moved in from elsewhere: it appears with the bytes it has.
      Emit("unlink", dst, NULL, NULL, NULL, 0);
      Emit("create", dst, NULL, NULL, NULL, 0);
      const int fd = REAL(openat)(to_at, to, O_RDONLY | O_CLOEXEC);
      char piece[65536];
      off_t at = 0;
      ssize_t got;
      while (fd >= 0 && (got = pread(fd, piece, sizeof piece, at)) > 0) {
        char tail[32];
        snprintf(tail, sizeof tail, "%lld", (long long)at);
        Emit("write", dst, NULL, tail, piece, (size_t)got);
        at += got;
      }
      if (fd >= 0) REAL(close)(fd);
    }
  }
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return rc;
}

int rename(const char* from, const char* to) { return RenameAt(AT_FDCWD, from, AT_FDCWD, to, 0); }
int renameat(int from_at, const char* from, int to_at, const char* to) {
  return RenameAt(from_at, from, to_at, to, 0);
}
int renameat2(int from_at, const char* from, int to_at, const char* to, unsigned flags) {
  return RenameAt(from_at, from, to_at, to, flags);
}

static int UnlinkAt(int at, const char* path, int flags) {
  char buf[PATH_MAX];
  const char* name = Inside(at, path, buf, sizeof buf);
  if (name == NULL || name[0] == 0) return REAL(unlinkat)(at, path, flags);
  pthread_mutex_lock(&g_lock);
  const int rc = REAL(unlinkat)(at, path, flags);
  const int error = errno;
  if (rc == 0) Emit("unlink", name, NULL, NULL, NULL, 0);
  pthread_mutex_unlock(&g_lock);
  errno = error;
  return rc;
}

int unlink(const char* path) { return UnlinkAt(AT_FDCWD, path, 0); }
int unlinkat(int at, const char* path, int flags) { return UnlinkAt(at, path, flags); }
int remove(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) return REAL(remove)(path);
  return UnlinkAt(AT_FDCWD, path, 0);
}

#include "file_safety.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

namespace {

constexpr mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;

void log_file_refusal(const char* path, file_verdict v, const struct stat* st, uid_t owner) {
  switch (v) {
    case FILE_OK:
      break;
    case FILE_NOT_REGULAR:
      log_message("refusing %s: not a regular file", path);
      break;
    case FILE_FOREIGN_OWNER:
      log_message("refusing %s: owned by uid %ld, not by uid %ld", path,
                  static_cast<long>(st->st_uid), static_cast<long>(owner));
      break;
    case FILE_OTHERS_WRITABLE:
      log_message("refusing %s: writable by group or others (mode %o)", path,
                  static_cast<unsigned>(st->st_mode & 07777));
      break;
    case FILE_LINKED:
      log_message("refusing %s: it has %lu hard links", path,
                  static_cast<unsigned long>(st->st_nlink));
      break;
  }
}

}  // namespace

file_verdict judge_file(const struct stat* st, uid_t owner, bool char_device_ok) {
  if (char_device_ok && S_ISCHR(st->st_mode)) return FILE_OK;
  if (!S_ISREG(st->st_mode)) return FILE_NOT_REGULAR;
  if (st->st_uid != owner) return FILE_FOREIGN_OWNER;
  if ((st->st_mode & OTHERS_WRITE) != 0) return FILE_OTHERS_WRITABLE;
  if (st->st_nlink != 1) return FILE_LINKED;
  return FILE_OK;
}

dir_verdict judge_directory(const struct stat* st, uid_t owner, bool holds_file) {
  if (!S_ISDIR(st->st_mode)) return DIR_NOT_DIRECTORY;
  if (st->st_uid != 0 && st->st_uid != owner) return DIR_FOREIGN_OWNER;
  if ((st->st_mode & OTHERS_WRITE) != 0 && (holds_file || (st->st_mode & S_ISVTX) == 0)) {
    return DIR_OTHERS_WRITABLE;
  }
  return DIR_OK;
}

int directory_problem(const char* path, uid_t owner, char* why, size_t cap) {
  // The directory part of the path, as written ("." for a bare name).
  char dir[PATH_MAX];
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    snprintf(dir, sizeof dir, ".");
  } else if (slash == path) {
    snprintf(dir, sizeof dir, "/");
  } else {
    const size_t n = static_cast<size_t>(slash - path);
    if (n >= sizeof dir) return 0;  // too long to open anyway
    memcpy(dir, path, n);
    dir[n] = '\0';
  }
  // Symbolic links resolved (/var/run is often one): the directories that
  // really hold the file are judged.
  char real[PATH_MAX];
  if (realpath(dir, real) == nullptr) return 0;

  // From the holding directory up to the root, cutting the path at each '/'.
  bool holds_file = true;
  size_t len = strlen(real);
  for (;;) {
    const char saved = real[len];
    real[len] = '\0';
    const char* shown = len == 0 ? "/" : real;
    struct stat st {};
    dir_verdict v = DIR_OK;
    if (stat(shown, &st) == 0) v = judge_directory(&st, owner, holds_file);
    if (v == DIR_FOREIGN_OWNER) {
      snprintf(why, cap, "unsafe directory %s for %s: owned by uid %ld", shown, path,
               static_cast<long>(st.st_uid));
    } else if (v == DIR_OTHERS_WRITABLE) {
      snprintf(why, cap, "unsafe directory %s for %s: writable by group or others (mode %o)",
               shown, path, static_cast<unsigned>(st.st_mode & 07777));
    } else if (v == DIR_NOT_DIRECTORY) {
      snprintf(why, cap, "unsafe directory %s for %s: not a directory", shown, path);
    }
    real[len] = saved;
    if (v != DIR_OK) return -1;
    if (len == 0) return 0;
    holds_file = false;
    while (len > 0 && real[len - 1] != '/') len--;
    if (len > 0) len--;  // the '/' itself; 0 leaves the root
  }
}

int check_file_directory(const char* path, uid_t owner) {
  char why[2 * PATH_MAX + 100];
  if (directory_problem(path, owner, why, sizeof why) == 0) return 0;
  log_message("%s", why);
  return -1;
}

const char* file_verdict_text(file_verdict v) {
  switch (v) {
    case FILE_OK:
      return "acceptable";
    case FILE_NOT_REGULAR:
      return "not a regular file";
    case FILE_FOREIGN_OWNER:
      return "owned by another user";
    case FILE_OTHERS_WRITABLE:
      return "writable by group or others";
    case FILE_LINKED:
      return "more than one link";
  }
  return "?";
}

int check_open_file(int fd, const char* path, uid_t owner, bool char_device_ok) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    log_message("can not look at %s", path);
    return -1;
  }
  const file_verdict v = judge_file(&st, owner, char_device_ok);
  log_file_refusal(path, v, &st, owner);
  return v == FILE_OK ? 0 : -1;
}

int check_file_at(const char* path, uid_t owner, bool char_device_ok) {
  struct stat st {};
  if (lstat(path, &st) != 0 || S_ISLNK(st.st_mode)) return 0;
  const file_verdict v = judge_file(&st, owner, char_device_ok);
  // Refusing other kinds is left to the opening, which says so its own way.
  if (v == FILE_NOT_REGULAR) return 0;
  log_file_refusal(path, v, &st, owner);
  return v == FILE_OK ? 0 : -1;
}

int check_file_place(const char* path, uid_t owner, bool char_device_ok) {
  if (check_file_directory(path, owner) != 0) return -1;
  return check_file_at(path, owner, char_device_ok);
}

// Where the daemon's own files may live. The pid file, the log file, the
// status file and the `-s status` report are written (and the pid file
// trusted) by a process that usually runs as root: a file or a directory
// that another user can write would let that user plant links, block the
// writes or forge what is read back. These checks refuse such places.
//
// A directory is safe for user `owner` when it is owned by root or by
// `owner` and not writable by group or others; the directories above it may
// also be world-writable when they are sticky (as /tmp is), since nobody else
// can then rename or remove what lies in them. A file is acceptable when it
// is a regular file owned by `owner`, not writable by group or others, with
// one link only (a hard link would make a write reach another file). With
// `char_device_ok`, a character device passes as it is (/dev/null as the log
// file): only root can create one.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

enum file_verdict {
  FILE_OK = 0,
  FILE_NOT_REGULAR,       // neither a regular file nor an allowed device
  FILE_FOREIGN_OWNER,     // owned by another user
  FILE_OTHERS_WRITABLE,   // group or others may write it
  FILE_LINKED,            // more than one link
};

enum dir_verdict {
  DIR_OK = 0,
  DIR_NOT_DIRECTORY,
  DIR_FOREIGN_OWNER,      // owned by neither root nor the owner
  DIR_OTHERS_WRITABLE,    // group or others may write (sticky or not)
};

// Pure verdicts on what stat() gave. `holds_file`: the directory the file
// lies in (false: a directory above it, where sticky excuses world write).
file_verdict judge_file(const struct stat* st, uid_t owner, bool char_device_ok);
dir_verdict judge_directory(const struct stat* st, uid_t owner, bool holds_file);

// 0 when the directory holding `path` and those above it are safe for
// `owner`; -1 (logged, naming the directory and the reason) when one is not.
// A directory that does not exist (or cannot be resolved) passes: opening
// the file will fail on its own.
int check_file_directory(const char* path, uid_t owner);

// The same check, with the reason written to `why` instead of the log
// (for commands that print their messages): 0 or -1.
int directory_problem(const char* path, uid_t owner, char* why, size_t cap);

// A short text of a verdict ("not a regular file", ...).
const char* file_verdict_text(file_verdict v);

// The checks of an open file: 0 or -1 (logged).
int check_open_file(int fd, const char* path, uid_t owner, bool char_device_ok);

// The same checks by path, before the file is opened: 0 when it does not
// exist or is a symbolic link (left for the opening, which refuses links),
// or when it passes; -1 (logged) otherwise.
int check_file_at(const char* path, uid_t owner, bool char_device_ok);

// Both: the directory and, if it exists, the file. 0 or -1 (logged).
int check_file_place(const char* path, uid_t owner, bool char_device_ok);

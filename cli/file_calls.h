// The few file system calls of the tool that differ between platforms:
// creating an output with no name yet, giving an output its name without
// replacing anything that has it, and telling the links to open files. One implementation per
// platform (file_calls_linux.cpp, file_calls_posix.cpp).
#ifndef LZRING_CLI_FILE_CALLS_H
#define LZRING_CLI_FILE_CALLS_H

namespace lzring::cli {

// Opens a directory for the *at() calls and for fsync(). -1 (errno set) on
// failure.
int OpenDirectory(const char* path);

// Creates a file with no name in the directory `dir_fd`, mode 0600, open for
// writing: it vanishes if the process dies before LinkUnnamed() names it.
// -1 (errno set) where the system or the file system cannot make one, or
// could not name it afterwards.
int OpenUnnamed(int dir_fd);

// Gives the unnamed file `fd` the name `name` in `dir_fd`. Fails with EEXIST
// when the name exists, a symbolic link (even a dangling one) included.
bool LinkUnnamed(int fd, int dir_fd, const char* name);

// Makes the name `name` in the directory `dir_fd` survive a crash: fsync()
// of the directory, or, of one opened only to be searched (O_PATH, when it
// may not be read), syncfs() through the named file. False (errno set) on
// failure.
bool SyncEntry(int dir_fd, const char* name);

// Renames `from` to `to`, both in `dir_fd`, failing with EEXIST when `to`
// exists, as LinkUnnamed() does.
bool RenameNoReplace(int dir_fd, const char* from, const char* to);

// Whether the directory `real_dir` (a path without symbolic links) is in
// the system's tree of processes, whose links stand for open files.
bool InProcessTree(const char* real_dir);

}  // namespace lzring::cli

#endif  // LZRING_CLI_FILE_CALLS_H

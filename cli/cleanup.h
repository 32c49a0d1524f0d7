// Temporary output files, and their removal when the tool is interrupted.
//
// A complete output is linked or renamed into place; until then it lives
// under a short temporary name in the destination's directory (or under no
// name at all, see output_file.h). The names are kept in a table (see
// temp_file_posix.h, temp_file_win32.h) that one thread of the tool owns
// when the tool is interrupted: it removes every registered name under the
// table's lock and then lets the process end as the interruption would
// have. A thread that creates, renames or removes a temporary file holds the
// same lock, so the sweep never reads a name while it is being written, and
// no file is created after it.
//
// On POSIX systems SIGINT, SIGTERM, SIGHUP and SIGXCPU are blocked in every
// thread and taken by a watcher thread with sigwait(); SIGPIPE, which comes
// to the thread whose write failed, is relayed to the watcher. On Windows the console's
// control handler (Ctrl-C, Ctrl-Break, closing the console, logging off,
// shutting down) runs on a thread of its own that the system starts.
#ifndef LZRING_CLI_CLEANUP_H
#define LZRING_CLI_CLEANUP_H

namespace lzring::cli {

// POSIX: blocks those signals (those the caller has not set to be
// ignored: an ignored signal stays ignored) and starts the watcher. Also
// ignores SIGXFSZ, so that a file size limit makes the write fail with EFBIG
// (and the temporary file is removed) instead of killing the process with
// the file in place. Windows: installs the console control handler. Call
// before any other thread starts.
void InstallCleanupHandlers();

}  // namespace lzring::cli

#endif  // LZRING_CLI_CLEANUP_H

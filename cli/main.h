// The tool itself, called by the program's entry point of each platform
// (entry_posix.cpp, entry_win32.cpp).
#ifndef LZRING_CLI_MAIN_H
#define LZRING_CLI_MAIN_H

namespace lzring::cli {

// Runs the tool over the command line `argv` (names as the system spells
// them on POSIX systems, UTF-8 on Windows) and returns its exit status.
int Main(int argc, char** argv);

}  // namespace lzring::cli

#endif  // LZRING_CLI_MAIN_H

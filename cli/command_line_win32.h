// The command line as Windows programs take it: the shells of Windows (cmd,
// PowerShell) pass wildcards on, and each program expands them itself.
#ifndef LZRING_CLI_COMMAND_LINE_WIN32_H
#define LZRING_CLI_COMMAND_LINE_WIN32_H

#include <string>
#include <vector>

namespace lzring::cli {

// The arguments `argv` (as the C runtime split `command_line`), with each
// that came unquoted and holds * or ? replaced by the names that match it in
// its directory, sorted; one that matches nothing stays as it is, and is
// then reported as a missing file. Options (arguments that start with '-')
// and the program's name are never expanded. Where the quoting cannot be
// told from `command_line`, nothing is expanded.
std::vector<std::wstring> ExpandWildcards(const wchar_t* command_line, int argc, wchar_t** argv);

// Whether `name` matches `pattern` (* any run, ? any one character),
// ignoring case as Windows names do.
bool MatchesWildcard(const std::wstring& pattern, const std::wstring& name);

}  // namespace lzring::cli

#endif  // LZRING_CLI_COMMAND_LINE_WIN32_H

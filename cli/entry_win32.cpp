// The program's entry on Windows: the command line as the system holds it,
// in UTF-16 (wmain, linked with -municode), is handed to the tool in UTF-8,
// so that every name reaches the wide-character file calls intact whatever
// the code page. Wildcards that came unquoted are expanded, as Windows
// programs do (command_line_win32.h). Standard input and output are put in
// binary mode, so that nothing written or read through the C runtime is
// translated.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/command_line_win32.h"
#include "cli/main.h"
#include "cli/utf8_win32.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  std::vector<char*> pointers;
  try {
    for (const std::wstring& arg : lzring::cli::ExpandWildcards(GetCommandLineW(), argc, argv)) {
      args.push_back(lzring::cli::Utf8(arg.c_str()));
    }
    for (std::string& arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
  } catch (const std::exception&) {
    std::fputs("lzring: out of memory\n", stderr);
    return 1;
  }
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  return lzring::cli::Main(static_cast<int>(args.size()), pointers.data());
}

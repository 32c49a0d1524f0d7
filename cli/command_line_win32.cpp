// Expands the wildcards of a Windows command line into the names they match.
#include "cli/command_line_win32.h"

#include <windows.h>

#include <algorithm>

namespace lzring::cli {
namespace {

bool SameCharacter(wchar_t a, wchar_t b) {
  return a == b || CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

bool Blank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

// Splits the command line as the C runtime does, telling for each argument
// only whether a quote of its own was in it: the text itself is argv's.
std::vector<bool> QuotedArguments(const wchar_t* p) {
  std::vector<bool> quoted;
  // The program's name: quotes delimit it, backslashes are plain.
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && !Blank(*p)) ++p;
  }
  quoted.push_back(false);
  for (;;) {
    while (Blank(*p)) ++p;
    if (*p == L'\0') return quoted;
    bool in_quotes = false;
    bool any_quote = false;
    while (*p != L'\0' && (in_quotes || !Blank(*p))) {
      std::size_t backslashes = 0;
      while (*p == L'\\') {
        ++backslashes;
        ++p;
      }
      if (*p != L'"') {
        if (backslashes == 0) ++p;
        continue;
      }
      if (backslashes % 2 == 1) {  // an escaped quote: a character
        ++p;
        continue;
      }
      any_quote = true;
      if (in_quotes && p[1] == L'"') {  // "" within quotes: a quote character
        p += 2;
        continue;
      }
      in_quotes = !in_quotes;
      ++p;
    }
    quoted.push_back(any_quote);
  }
}

bool HasWildcard(const std::wstring& s) {
  return s.find_first_of(L"*?") != std::wstring::npos;
}

// The names in the directory of `arg` that match its last component, with
// that directory before each, sorted.
std::vector<std::wstring> Matches(const std::wstring& arg) {
  const std::size_t cut = arg.find_last_of(L"\\/:");
  const std::wstring dir = cut == std::wstring::npos ? L"" : arg.substr(0, cut + 1);
  const std::wstring pattern = arg.substr(dir.size());
  std::vector<std::wstring> names;
  if (HasWildcard(dir) || pattern.empty()) return names;
  WIN32_FIND_DATAW found;
  const HANDLE search =
      FindFirstFileExW(arg.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    // The search also matches the short 8.3 names: only the names as shown
    // count.
    if (name != L"." && name != L".." && MatchesWildcard(pattern, name))
      names.push_back(dir + name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  });
  return names;
}

}  // namespace

bool MatchesWildcard(const std::wstring& pattern, const std::wstring& name) {
  // Greedy matching that goes back to the last * on a mismatch.
  std::size_t p = 0, n = 0, star = std::wstring::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == L'?' || SameCharacter(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (star != std::wstring::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

std::vector<std::wstring> ExpandWildcards(const wchar_t* command_line, int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv, argv + argc);
  const std::vector<bool> quoted =
      command_line != nullptr ? QuotedArguments(command_line) : std::vector<bool>{};
  if (quoted.size() != static_cast<std::size_t>(argc)) return args;
  std::vector<std::wstring> expanded;
  for (int i = 0; i < argc; ++i) {
    const std::wstring& arg = args[static_cast<std::size_t>(i)];
    std::vector<std::wstring> names;
    if (i > 0 && !quoted[static_cast<std::size_t>(i)] && !arg.starts_with(L'-') &&
        HasWildcard(arg)) {
      names = Matches(arg);
    }
    if (names.empty()) {
      expanded.push_back(arg);
    } else {
      expanded.insert(expanded.end(), names.begin(), names.end());
    }
  }
  return expanded;
}

}  // namespace lzring::cli

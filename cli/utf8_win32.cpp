// Conversions between UTF-8 names and the UTF-16 of the Win32 calls.
#include "cli/utf8_win32.h"

#include <windows.h>

#include <cwchar>

namespace lzring::cli {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
  return wide;
}

std::string Utf8(const wchar_t* wide) {
  const int size = static_cast<int>(std::wcslen(wide));
  if (size == 0) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

}  // namespace lzring::cli

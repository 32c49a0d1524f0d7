// UTF-8, the tool's spelling of names, to and from the UTF-16 of the Win32
// wide-character calls.
#ifndef LZRING_CLI_UTF8_WIN32_H
#define LZRING_CLI_UTF8_WIN32_H

#include <string>

namespace lzring::cli {

// Bytes that are not UTF-8 become U+FFFD.
std::wstring Wide(const std::string& utf8);
// Unpaired surrogates become U+FFFD.
std::string Utf8(const wchar_t* wide);

}  // namespace lzring::cli

#endif  // LZRING_CLI_UTF8_WIN32_H

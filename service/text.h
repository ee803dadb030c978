// Texts between the library (GBK) and HTTP (UTF-8), and hex digits. The
// conversions are the operating system's (iconv; on Windows code page 936).
#pragma once

#include <cstddef>
#include <string>

namespace kxservice {

// False when `gbk` is no valid GBK; *utf8 is then left empty.
bool GbkToUtf8(const std::string& gbk, std::string* utf8);
// False when `utf8` is no valid UTF-8 or has a character GBK lacks.
bool Utf8ToGbk(const std::string& utf8, std::string* gbk);
// A library message: GBK to UTF-8, any byte that is no GBK as "\xNN".
std::string MessageToUtf8(const std::string& gbk);

// Upper-case hex digits, two a byte.
std::string Hex(const unsigned char* bytes, std::size_t n);
// Pairs of hex digits (either case, nothing else) to bytes.
bool ParseHex(const std::string& text, std::string* bytes);

}  // namespace kxservice

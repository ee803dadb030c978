// The Windows simulator DLL's stand-in for iconv, for the profile text's
// GBK and UTF-8 (the only encodings it converts between), over the system's
// code pages 936 and 65001. Whole inputs only, as the profile code converts.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using iconv_t = void*;

namespace kx::simlib::iconv_shim {

inline UINT CodePage(const char* name) {
  if (std::strcmp(name, "GBK") == 0) return 936;
  if (std::strcmp(name, "UTF-8") == 0) return CP_UTF8;
  return 0;
}

}  // namespace kx::simlib::iconv_shim

// The two code pages travel in the handle: (to << 16) | from.
inline iconv_t iconv_open(const char* to, const char* from) {
  const UINT t = kx::simlib::iconv_shim::CodePage(to);
  const UINT f = kx::simlib::iconv_shim::CodePage(from);
  if (t == 0 || f == 0) {
    errno = EINVAL;
    return reinterpret_cast<iconv_t>(-1);
  }
  return reinterpret_cast<iconv_t>((static_cast<std::uintptr_t>(t) << 16) | f);
}

inline int iconv_close(iconv_t) {
  return 0;
}

inline std::size_t iconv(iconv_t cd, char** in, std::size_t* inLeft, char** out,
                         std::size_t* outLeft) {
  const auto codes = reinterpret_cast<std::uintptr_t>(cd);
  const UINT to = static_cast<UINT>(codes >> 16);
  const UINT from = static_cast<UINT>(codes & 0xFFFF);
  const std::size_t failed = static_cast<std::size_t>(-1);
  if (*inLeft == 0) return 0;
  if (*inLeft > 0x10000000) {
    errno = EINVAL;
    return failed;
  }
  const int n = static_cast<int>(*inLeft);
  const int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, *in, n, nullptr, 0);
  if (wide <= 0) {
    errno = EILSEQ;
    return failed;
  }
  std::wstring units(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, *in, n, units.data(), wide);
  // A character the target cannot hold is an error, never a '?'.
  BOOL lossy = FALSE;
  const DWORD flags = to == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL* usedDefault = to == CP_UTF8 ? nullptr : &lossy;
  const int bytes =
      WideCharToMultiByte(to, flags, units.data(), wide, nullptr, 0, nullptr, usedDefault);
  if (bytes <= 0 || lossy) {
    errno = EILSEQ;
    return failed;
  }
  if (static_cast<std::size_t>(bytes) > *outLeft) {
    errno = E2BIG;
    return failed;
  }
  WideCharToMultiByte(to, flags, units.data(), wide, *out, bytes, nullptr, nullptr);
  *in += n;
  *inLeft = 0;
  *out += bytes;
  *outLeft -= static_cast<std::size_t>(bytes);
  return 0;
}

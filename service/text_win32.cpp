#include <windows.h>

#include "service/text.h"

namespace kxservice {

namespace {

constexpr UINT kGbk = 936;

bool Convert(UINT to, UINT from, const std::string& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  const int n = static_cast<int>(in.size());
  const int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), n, nullptr, 0);
  if (wide <= 0) return false;
  std::wstring w(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), n, w.data(), wide);
  BOOL lost = FALSE;
  const int bytes = WideCharToMultiByte(to, 0, w.data(), wide, nullptr, 0, nullptr,
                                        to == CP_UTF8 ? nullptr : &lost);
  if (bytes <= 0 || lost) return false;
  out->resize(static_cast<std::size_t>(bytes));
  WideCharToMultiByte(to, 0, w.data(), wide, out->data(), bytes, nullptr, nullptr);
  return true;
}

}  // namespace

bool GbkToUtf8(const std::string& gbk, std::string* utf8) {
  return Convert(CP_UTF8, kGbk, gbk, utf8);
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  return Convert(kGbk, CP_UTF8, utf8, gbk);
}

}  // namespace kxservice

#include <errno.h>
#include <iconv.h>

#include "service/text.h"

namespace kxservice {

namespace {

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  out->clear();
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result(in.size() * 4 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = result.data();
  std::size_t dstLeft = result.size();
  const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1) || srcLeft != 0) return false;
  result.resize(result.size() - dstLeft);
  *out = std::move(result);
  return true;
}

}  // namespace

bool GbkToUtf8(const std::string& gbk, std::string* utf8) {
  return Convert("UTF-8", "GBK", gbk, utf8);
}

bool Utf8ToGbk(const std::string& utf8, std::string* gbk) {
  return Convert("GBK", "UTF-8", utf8, gbk);
}

}  // namespace kxservice

#include "tests/support/gbk.h"

#include <iconv.h>

#include <stdexcept>

namespace kx::test {
namespace {

std::string Convert(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  std::string out(in.size() * 4 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = out.data();
  size_t dstLeft = out.size();
  const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) throw std::runtime_error("iconv failed");
  out.resize(out.size() - dstLeft);
  return out;
}

}  // namespace

std::string Gbk(const std::string& utf8) { return Convert("GBK", "UTF-8", utf8); }
std::string Utf8(const std::string& gbk) { return Convert("UTF-8", "GBK", gbk); }

}  // namespace kx::test

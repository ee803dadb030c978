// Test helpers for the library's GBK texts. Test sources are UTF-8; the
// library's messages are GBK bytes at run time.
#pragma once

#include <string>

namespace kx::test {

// UTF-8 text to its GBK bytes.
std::string Gbk(const std::string& utf8);
// GBK bytes to UTF-8, for readable failure output.
std::string Utf8(const std::string& gbk);

}  // namespace kx::test

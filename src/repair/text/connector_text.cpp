#include "repair/text/connector_text.h"

#ifdef _WIN32
#include <cstdio>
#include <cwchar>
#endif

namespace vddb::text {

std::size_t formatConnectorText(std::uint32_t connector,
                                char16_t (&text)[kConnectorTextLimit]) noexcept {
#ifdef _WIN32
  // wchar_t is a 16-bit unit here and unsigned long is 32 bits wide.
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  wchar_t wide[kConnectorTextLimit];
  const int written =
      _snwprintf(wide, kConnectorTextLimit, L"%lu", static_cast<unsigned long>(connector));
  // _snwprintf leaves the text unterminated (and returns -1) only when it
  // does not fit, which ten digits always do.
  const std::size_t length = written < 0 ? 0 : static_cast<std::size_t>(written);
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(wide[i]);
  text[length] = 0;
  return length;
#else
  // wchar_t is 32 bits wide on POSIX, so the digits are written directly.
  char16_t reversed[10];
  std::size_t length = 0;
  do {
    reversed[length++] = static_cast<char16_t>(u'0' + connector % 10);
    connector /= 10;
  } while (connector != 0);
  for (std::size_t i = 0; i < length; ++i) text[i] = reversed[length - 1 - i];
  text[length] = 0;
  return length;
#endif
}

}  // namespace vddb::text

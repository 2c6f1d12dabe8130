// Text in the locale's multibyte encoding (the ANSI code page on POSIX) and wide text. A byte
// the locale cannot decode becomes U+DC80 + byte - 0x80 (a lone low surrogate, which no valid
// sequence decodes to) and turns back into that byte, as Windows' ANSI code page keeps every byte.
#include <climits>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/os/os.h"

namespace {

constexpr wchar_t kRawByteBase = 0xDC80;

bool IsRawByte(wchar_t wc) { return wc >= kRawByteBase && wc <= kRawByteBase + 0x7F; }

}  // namespace

std::wstring AnsiToWide(const char* pszAnsi) {
  std::wstring wsText;
  if (pszAnsi == nullptr) return wsText;
  std::mbstate_t state{};
  const char* p = pszAnsi;
  size_t nLeft = std::strlen(pszAnsi);
  while (nLeft > 0) {
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, p, nLeft, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
      const auto byRaw = static_cast<unsigned char>(*p);
      // Only bytes from 0x80 up can fail to decode in the encodings a locale may use.
      wsText.push_back(byRaw >= 0x80 ? static_cast<wchar_t>(kRawByteBase + (byRaw - 0x80)) : static_cast<wchar_t>(byRaw));
      state = std::mbstate_t{};
      n = 1;
    } else {
      wsText.push_back(wc);
    }
    p += n;
    nLeft -= n;
  }
  return wsText;
}

std::string WideToAnsi(const wchar_t* pwszWide) {
  std::string sText;
  if (pwszWide == nullptr) return sText;
  std::mbstate_t state{};
  char acBytes[MB_LEN_MAX];
  for (const wchar_t* p = pwszWide; *p != L'\0'; ++p) {
    if (IsRawByte(*p)) {
      sText.push_back(static_cast<char>(0x80 + (*p - kRawByteBase)));
      continue;
    }
    size_t n = std::wcrtomb(acBytes, *p, &state);
    if (n == static_cast<size_t>(-1)) break;
    sText.append(acBytes, n);
  }
  return sText;
}

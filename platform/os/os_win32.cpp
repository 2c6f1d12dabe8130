// The services of our own on Windows; the Windows API itself comes from windows.h.
#include <conio.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/os/os.h"

namespace {

// ---- Console ----

// Reads a pipe that cannot be peeked at (Wine's view of a POSIX pipe) on a thread of its
// own, so that the key test can still answer at once.
struct InputReader {
  std::mutex mtx;
  std::condition_variable cv;
  std::deque<unsigned char> bytes;
  bool bEnd = false;
};

std::shared_ptr<InputReader> StartInputReader(HANDLE hInput) {
  auto pReader = std::make_shared<InputReader>();
  std::thread([pReader, hInput] {
    for (;;) {
      unsigned char abBytes[64];
      DWORD dwRead = 0;
      BOOL bOk = ReadFile(hInput, abBytes, sizeof(abBytes), &dwRead, nullptr);
      std::lock_guard<std::mutex> lk(pReader->mtx);
      if (!bOk || dwRead == 0) {
        pReader->bEnd = true;
        pReader->cv.notify_all();
        return;
      }
      pReader->bytes.insert(pReader->bytes.end(), abBytes, abBytes + dwRead);
      pReader->cv.notify_all();
    }
  }).detach();
  return pReader;
}

struct Console {
  std::mutex mtx;
  bool bExamined = false;
  HANDLE hInput = nullptr;
  bool bConsole = false;
  DWORD dwFileType = FILE_TYPE_UNKNOWN;
  bool bEndOfInput = false;
  std::deque<int> taken;  // key codes read ahead (the key test, an attempt's start), not yet read
  std::shared_ptr<InputReader> pReader;
};

Console& TheConsole() {
  static Console* pConsole = new Console;  // never destroyed: used until the process ends
  return *pConsole;
}

// Finds out what standard input is, again whenever its handle has changed.
void ExamineInput(Console& c) {
  HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
  if (c.bExamined && hInput == c.hInput) return;
  c.bExamined = true;
  c.hInput = hInput;
  c.taken.clear();
  c.pReader.reset();
  c.bEndOfInput = hInput == nullptr || hInput == INVALID_HANDLE_VALUE;
  DWORD dwMode = 0;
  c.bConsole = !c.bEndOfInput && GetConsoleMode(hInput, &dwMode) != 0;
  c.dwFileType = c.bEndOfInput ? FILE_TYPE_UNKNOWN : GetFileType(hInput);
}

// One byte of input that is not a console; blocks until it comes or the input ends.
int ReadInputByte(Console& c) {
  unsigned char byKey = 0;
  DWORD dwRead = 0;
  if (ReadFile(c.hInput, &byKey, 1, &dwRead, nullptr) && dwRead == 1) return byKey;
  c.bEndOfInput = true;
  return -1;
}

// What the program changes in the console, given back when an attempt ends and when the
// program ends: at exit, and on Ctrl-C, Ctrl-Break or the console being closed, whose default
// handling ends the process once the handler installed here has run. Only the main thread
// changes the console; the end may come on any thread, so the saved state is taken by an
// atomic exchange (no lock that a thread ended mid-change could leave held), and it is saved
// before each change, so that no ending misses it.
struct ConsoleSettings {
  std::atomic<bool> bRestoreOnEnd{false};
  std::atomic<UINT> uOperatorOutputCP{0};         // 0: the output code page is the operator's
  std::atomic<HANDLE> hQuickEditOff{nullptr};     // the console input whose QuickEdit is off
  std::atomic<DWORD> dwOperatorInputMode{0};
};

ConsoleSettings& TheSettings() {
  static ConsoleSettings* pSettings = new ConsoleSettings;  // used until the process ends
  return *pSettings;
}

void RestoreInputMode(ConsoleSettings& s) {
  HANDLE hInput = s.hQuickEditOff.exchange(nullptr);
  // With ENABLE_EXTENDED_FLAGS the QuickEdit and insert bits of the saved mode apply again.
  if (hInput != nullptr) SetConsoleMode(hInput, s.dwOperatorInputMode.load() | ENABLE_EXTENDED_FLAGS);
}

void RestoreConsole() {
  ConsoleSettings& s = TheSettings();
  RestoreInputMode(s);
  const UINT uOutputCP = s.uOperatorOutputCP.exchange(0);
  if (uOutputCP != 0) SetConsoleOutputCP(uOutputCP);
}

BOOL WINAPI RestoreConsoleOnEnd(DWORD /*dwCtrlType*/) {
  RestoreConsole();
  return FALSE;  // the next handler, in the end the default one, ends the process
}

void RestoreOnEnd(ConsoleSettings& s) {
  if (s.bRestoreOnEnd.exchange(true)) return;
  std::atexit([] { RestoreConsole(); });
  SetConsoleCtrlHandler(&RestoreConsoleOnEnd, TRUE);
}

void UseAnsiOutputCodePage() {
  ConsoleSettings& s = TheSettings();
  const UINT uOutputCP = GetConsoleOutputCP();  // 0: no console
  const UINT uAnsiCP = GetACP();
  if (s.uOperatorOutputCP.load() != 0 || uOutputCP == 0 || uOutputCP == uAnsiCP) return;
  RestoreOnEnd(s);
  s.uOperatorOutputCP.store(uOutputCP);
  if (!SetConsoleOutputCP(uAnsiCP)) s.uOperatorOutputCP.store(0);
}

// ---- Text ----

// The length of the character that starts at p in code page uCodePage.
int CharBytes(UINT uCodePage, const char* p, int nLeft) {
  auto by = static_cast<unsigned char>(*p);
  int n = 1;
  if (uCodePage == CP_UTF8) {
    if (by >= 0xF0) {
      n = 4;
    } else if (by >= 0xE0) {
      n = 3;
    } else if (by >= 0xC0) {
      n = 2;
    }
  } else if (IsDBCSLeadByteEx(uCodePage, by)) {
    n = 2;
  }
  return n < nLeft ? n : nLeft;
}

}  // namespace

// ---- Console ----

void ConsoleInit() {
  {
    Console& c = TheConsole();
    std::lock_guard<std::mutex> lk(c.mtx);
    ExamineInput(c);
  }
  UseAnsiOutputCodePage();
}

bool ConsoleKeyWaiting() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ExamineInput(c);
  if (!c.taken.empty()) return true;
  if (c.bEndOfInput) return false;
  if (c.bConsole) return _kbhit() != 0;
  if (c.dwFileType == FILE_TYPE_PIPE && c.pReader == nullptr) {
    DWORD dwAvailable = 0;
    if (!PeekNamedPipe(c.hInput, nullptr, 0, nullptr, &dwAvailable, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) {
        c.bEndOfInput = true;  // the writer has gone and nothing is left
        return false;
      }
      c.pReader = StartInputReader(c.hInput);
    } else if (dwAvailable == 0) {
      return false;
    }
  }
  if (c.pReader != nullptr) {
    std::lock_guard<std::mutex> lkReader(c.pReader->mtx);
    if (!c.pReader->bytes.empty()) return true;
    if (c.pReader->bEnd) c.bEndOfInput = true;
    return false;
  }
  // A file (or a pipe with data): reading one byte does not block.
  const int nByte = ReadInputByte(c);
  if (nByte >= 0) c.taken.push_back(nByte);
  return nByte >= 0;
}

int ConsoleReadKey() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ExamineInput(c);
  if (!c.taken.empty()) {
    const int nKey = c.taken.front();
    c.taken.pop_front();
    return nKey;
  }
  if (c.bEndOfInput) return -1;
  if (c.bConsole) return _getch();
  if (c.pReader != nullptr) {
    std::unique_lock<std::mutex> lkReader(c.pReader->mtx);
    InputReader& r = *c.pReader;
    r.cv.wait(lkReader, [&r] { return !r.bytes.empty() || r.bEnd; });
    if (r.bytes.empty()) {
      c.bEndOfInput = true;
      return -1;
    }
    int nKey = r.bytes.front();
    r.bytes.pop_front();
    return nKey;
  }
  return ReadInputByte(c);
}

namespace {

// The bytes a pipe holds now (none when it cannot be peeked at).
DWORD WaitingPipeBytes(HANDLE hInput) {
  DWORD dwWaiting = 0;
  return PeekNamedPipe(hInput, nullptr, 0, nullptr, &dwWaiting, nullptr) ? dwWaiting : 0;
}

// Takes in the key codes typed before an attempt, so that they still start attempts of their
// own: the console's (through the run-time library, which also holds the second code of an
// extended key whose first code was read), the reader thread's, a pipe's. A file holds every
// key from the start: none is typed during an attempt.
void TakeInWaitingKeys(Console& c) {
  ExamineInput(c);
  if (c.bEndOfInput) return;
  if (c.bConsole) {
    while (_kbhit() != 0) c.taken.push_back(_getch());
  } else if (c.pReader != nullptr) {
    std::lock_guard<std::mutex> lkReader(c.pReader->mtx);
    c.taken.insert(c.taken.end(), c.pReader->bytes.begin(), c.pReader->bytes.end());
    c.pReader->bytes.clear();
  } else if (c.dwFileType == FILE_TYPE_PIPE) {
    for (DWORD dwWaiting = WaitingPipeBytes(c.hInput); dwWaiting > 0; --dwWaiting) {
      const int nByte = ReadInputByte(c);
      if (nByte < 0) break;
      c.taken.push_back(nByte);
    }
  }
}

// Drops what was typed while an attempt ran; what was taken in before it stays.
void DiscardKeysTypedSince(Console& c) {
  ExamineInput(c);
  if (c.bEndOfInput) return;
  if (c.bConsole) {
    while (_kbhit() != 0) _getch();
  } else if (c.pReader != nullptr) {
    std::lock_guard<std::mutex> lkReader(c.pReader->mtx);
    c.pReader->bytes.clear();
  } else if (c.dwFileType == FILE_TYPE_PIPE) {
    // The bytes there now and no more, so that a writer that never stops cannot hold the
    // program here.
    for (DWORD dwWaiting = WaitingPipeBytes(c.hInput); dwWaiting > 0;) {
      unsigned char abDiscarded[4096];
      DWORD dwRead = 0;
      const DWORD dwWant = dwWaiting < sizeof abDiscarded ? dwWaiting : DWORD{sizeof abDiscarded};
      if (!ReadFile(c.hInput, abDiscarded, dwWant, &dwRead, nullptr) || dwRead == 0) return;
      dwWaiting -= dwRead;
    }
  }
}

}  // namespace

void ConsoleBeginAttempt() {
  {
    Console& c = TheConsole();
    std::lock_guard<std::mutex> lk(c.mtx);
    TakeInWaitingKeys(c);
  }
  ConsoleSettings& s = TheSettings();
  HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
  DWORD dwMode = 0;
  if (s.hQuickEditOff.load() != nullptr || hInput == nullptr || hInput == INVALID_HANDLE_VALUE ||
      !GetConsoleMode(hInput, &dwMode)) {
    return;  // already off, or not a console
  }
  if ((dwMode & (ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE)) == ENABLE_EXTENDED_FLAGS) return;
  RestoreOnEnd(s);
  s.dwOperatorInputMode.store(dwMode);
  s.hQuickEditOff.store(hInput);
  // QuickEdit is one of the extended flags: it changes only with ENABLE_EXTENDED_FLAGS.
  if (!SetConsoleMode(hInput, (dwMode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE))) {
    s.hQuickEditOff.store(nullptr);
  }
}

void ConsoleEndAttempt() {
  RestoreInputMode(TheSettings());
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  DiscardKeysTypedSince(c);
}

void OsInitStandardStreams() {}

// ---- Text ----

std::wstring AnsiToWide(const char* pszAnsi) {
  std::wstring wsText;
  if (pszAnsi == nullptr || *pszAnsi == '\0') return wsText;
  int nLen = static_cast<int>(std::strlen(pszAnsi));
  int nWide = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszAnsi, nLen, nullptr, 0);
  if (nWide > 0) {
    wsText.resize(static_cast<size_t>(nWide));
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszAnsi, nLen, wsText.data(), nWide);
    return wsText;
  }
  // An invalid sequence somewhere: the text up to it, one character at a time.
  UINT uCodePage = GetACP();
  for (int i = 0; i < nLen;) {
    int nChar = CharBytes(uCodePage, pszAnsi + i, nLen - i);
    wchar_t awc[2];
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, pszAnsi + i, nChar, awc, 2);
    if (n <= 0) break;
    wsText.append(awc, static_cast<size_t>(n));
    i += nChar;
  }
  return wsText;
}

std::string WideToAnsi(const wchar_t* pwszWide) {
  std::string sText;
  if (pwszWide == nullptr) return sText;
  UINT uCodePage = GetACP();
  bool bUtf8 = uCodePage == CP_UTF8;
  DWORD dwFlags = bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  // Character by character, so that the text stops at the first one the code page lacks.
  for (const wchar_t* p = pwszWide; *p != L'\0';) {
    int nChars = (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) ? 2 : 1;
    char acBytes[8];
    BOOL bUsedDefault = FALSE;
    int n = WideCharToMultiByte(CP_ACP, dwFlags, p, nChars, acBytes, sizeof(acBytes), nullptr,
                                bUtf8 ? nullptr : &bUsedDefault);
    if (n <= 0 || bUsedDefault) break;
    sText.append(acBytes, static_cast<size_t>(n));
    p += nChars;
  }
  return sText;
}

// ---- Paths ----

std::string OsMapPath(const char* pszWindowsPath) {
  return pszWindowsPath == nullptr ? std::string() : std::string(pszWindowsPath);
}

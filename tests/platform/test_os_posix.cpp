// The posix layer's console on a pseudo-terminal and on pipes and files, its terminal key
// decoding, its path mapping and its text conversion. Console behaviour is process-wide, so
// each console case runs in a child process of its own and reports back through a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "platform/os/os.h"
#include "platform/os/terminal_keys.h"

namespace {

constexpr int kChildWaitMs = 20000;  // a bound against a hung child, not a timing check

// Reads from fd until nBytes have come (or end of file when nBytes is 0), bounded.
std::string ReadFrom(int fd, size_t nBytes) {
  std::string s;
  for (;;) {
    if (nBytes != 0 && s.size() >= nBytes) break;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kChildWaitMs) <= 0) break;
    char ac[256];
    size_t nWant = nBytes == 0 ? sizeof(ac) : std::min(sizeof(ac), nBytes - s.size());
    ssize_t n = read(fd, ac, nWant);
    if (n <= 0) break;
    s.append(ac, static_cast<size_t>(n));
  }
  return s;
}

// Reads from fd until `marker` has come, bounded.
std::string ReadUntil(int fd, const std::string& marker) {
  std::string s;
  while (s.find(marker) == std::string::npos) {
    std::string sMore = ReadFrom(fd, 1);
    if (sMore.empty()) break;
    s += sMore;
  }
  return s;
}

// The child's wait status; a child that does not end within the bound is killed.
int WaitChild(pid_t pid) {
  int nStatus = 0;
  for (int i = 0; i < kChildWaitMs / 10; ++i) {
    if (waitpid(pid, &nStatus, WNOHANG) == pid) return nStatus;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &nStatus, 0);
  return nStatus;
}

void Report(int fd, const std::string& s) {
  if (write(fd, s.data(), s.size()) < 0) _exit(3);
}

// Waits (bounded) until the console has a key; returns whether one came.
bool AwaitKey() {
  for (int i = 0; i < 2000; ++i) {
    if (ConsoleKeyWaiting()) return true;
    OsSleep(5);
  }
  return false;
}

// What the console gives until no key is waiting: "W<key>," per key, then "N" and the
// key read after the end.
std::string DrainKeys() {
  std::string s;
  for (int i = 0; i < 64 && ConsoleKeyWaiting(); ++i) s.append("W").append(std::to_string(ConsoleReadKey())).append(",");
  s += "N";
  if (!ConsoleKeyWaiting()) s.append(",R").append(std::to_string(ConsoleReadKey()));
  s += ConsoleKeyWaiting() ? ",W" : ",N";
  return s;
}

void ExpectSameTerminal(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(std::memcmp(a.c_cc, b.c_cc, sizeof(a.c_cc)), 0);
}

// Keys as a terminal sends them, each with the key codes that the program must see: an
// escape sequence is two codes (as Windows gives for arrows and function keys), a character
// of several bytes in UTF-8 is one (whatever the locale), and the keys a terminal would act
// on are keys too.
struct KeyCase {
  const char* pszName;
  std::string sBytes;
  std::string sCodes;
};
const KeyCase kKeys[] = {
    {"up arrow", "\x1b[A", "224,65,"},
    {"right arrow, application mode", "\x1bOC", "224,67,"},
    {"F1", "\x1bOP", "224,80,"},
    {"F5", "\x1b[15~", "224,126,"},
    {"shift F12", "\x1b[24;2~", "224,126,"},
    {"Esc, then an arrow", "\x1b\x1b[B", "27,224,66,"},
    {"a-umlaut", "\xc3\xa4", "195,"},
    {"euro sign", "\xe2\x82\xac", "226,"},
    {"a character's first byte, then a letter", "\xc3" "y", "195,121,"},
    {"Ctrl-\\", "\x1c", "28,"},
    {"Ctrl-Z", "\x1a", "26,"},
    {"Ctrl-S", "\x13", "19,"},
    {"Ctrl-Q", "\x11", "17,"},
    {"Ctrl-V", "\x16", "22,"},
    {"Ctrl-O", "\x0f", "15,"},
    {"letter", "x", "120,"},
    {"Esc, then nothing", "\x1b", "27,"},
};

// The codes of bytes as the console reads them from a terminal: each key's first byte, then
// as many more as the decoder asks for, each allowed to lag by 30 ms.
std::string DecodedCodes(const std::string& sBytes) {
  std::deque<int> keys;
  size_t nAt = 0;
  auto next = [&](int nWaitMs) {
    EXPECT_EQ(nWaitMs, 30);
    return nAt < sBytes.size() ? static_cast<unsigned char>(sBytes[nAt++]) : -1;
  };
  while (nAt < sBytes.size()) terminal_keys::DecodeKey(static_cast<unsigned char>(sBytes[nAt++]), next, keys);
  std::string s;
  for (int nKey : keys) s += std::to_string(nKey) + ",";
  return s;
}

TEST(PosixTerminalKeys, EscapeSequencesAreTwoCodesAndACharacterIsOne) {
  std::string sTyped, sExpected;
  for (const KeyCase& k : kKeys) {
    EXPECT_EQ(DecodedCodes(k.sBytes), k.sCodes) << k.pszName;
    sTyped += k.sBytes;
    sExpected += k.sCodes;
  }
  EXPECT_EQ(DecodedCodes(sTyped), sExpected);  // typed one after another
}

// On a terminal the key test does not block, keys come without a line end, unechoed and
// decoded, and only Ctrl-C ends the program, restoring the terminal.
TEST(PosixConsoleTerminal, KeysComeUnechoedAndOnlyCtrlCEnds) {
  std::string sTyped, sExpected;
  for (const KeyCase& k : kKeys) {
    sTyped += k.sBytes;
    sExpected += k.sCodes;
  }
  const auto nCodes = static_cast<size_t>(std::count(sExpected.begin(), sExpected.end(), ','));
  int fdMaster = -1, fdSlave = -1, afdReport[2];
  termios tBefore{}, tAfter{};
  ASSERT_EQ(openpty(&fdMaster, &fdSlave, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(tcgetattr(fdSlave, &tBefore), 0);
  ASSERT_EQ(pipe(afdReport), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fdMaster);
    close(afdReport[0]);
    for (int nSignal : {SIGINT, SIGQUIT, SIGTSTP}) signal(nSignal, SIG_DFL);  // as from a shell
    setsid();  // the terminal becomes the child's own, so that its keys signal the child
    ioctl(fdSlave, TIOCSCTTY, 0);
    dup2(fdSlave, STDIN_FILENO);
    dup2(fdSlave, STDOUT_FILENO);
    ConsoleInit();
    Report(afdReport[1], ConsoleKeyWaiting() ? "1" : "0");  // nothing typed yet
    std::string sCodes;
    for (size_t i = 0; i < nCodes && AwaitKey(); ++i) sCodes += std::to_string(ConsoleReadKey()) + ",";
    Report(STDOUT_FILENO, "END");
    Report(afdReport[1], sCodes + (ConsoleKeyWaiting() ? "more" : "none"));
    for (;;) pause();  // until Ctrl-C
  }
  close(afdReport[1]);
  ASSERT_EQ(ReadFrom(afdReport[0], 1), "0");
  // No line end is typed: the terminal must be out of line mode for the keys to count.
  ASSERT_EQ(write(fdMaster, sTyped.data(), sTyped.size()), static_cast<ssize_t>(sTyped.size()));
  EXPECT_EQ(ReadUntil(afdReport[0], "e"), sExpected + "none");  // "more" or "none"
  // Whatever the terminal shows before the child's marker would be an echo.
  EXPECT_EQ(ReadUntil(fdMaster, "END"), "END");
  ASSERT_EQ(write(fdMaster, "\x03", 1), 1);
  int nStatus = WaitChild(pid);
  EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGINT) << nStatus;
  ASSERT_EQ(tcgetattr(fdSlave, &tAfter), 0);
  ExpectSameTerminal(tBefore, tAfter);
  close(fdMaster);
  close(fdSlave);
  close(afdReport[0]);
}

class PosixConsoleRestore : public ::testing::TestWithParam<int> {};

// The child takes the terminal into key mode, then ends by the signal (or by exit, 0).
TEST_P(PosixConsoleRestore, TerminalIsRestoredWhenTheProcessEnds) {
  const int nSignal = GetParam();
  int fdMaster = -1, fdSlave = -1;
  ASSERT_EQ(openpty(&fdMaster, &fdSlave, nullptr, nullptr, nullptr), 0);
  termios tBefore{}, tDuring{}, tAfter{};
  ASSERT_EQ(tcgetattr(fdSlave, &tBefore), 0);
  int afdReport[2];
  ASSERT_EQ(pipe(afdReport), 0);
  int afdGo[2];
  ASSERT_EQ(pipe(afdGo), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(afdReport[0]);
    close(afdGo[1]);
    if (nSignal != 0) signal(nSignal, SIG_DFL);  // as a program started from a shell has it
    dup2(fdSlave, STDIN_FILENO);
    ConsoleInit();
    Report(afdReport[1], "R");
    char c = 0;
    while (read(afdGo[0], &c, 1) < 0) {
    }
    std::exit(0);  // told to end, or the parent has gone
  }
  close(afdReport[1]);
  close(afdGo[0]);
  ASSERT_EQ(ReadFrom(afdReport[0], 1), "R");
  ASSERT_EQ(tcgetattr(fdSlave, &tDuring), 0);
  EXPECT_EQ(tDuring.c_lflag & (ICANON | ECHO), 0u);
  if (nSignal != 0) {
    kill(pid, nSignal);
  } else {
    EXPECT_EQ(write(afdGo[1], "x", 1), 1);
  }
  int nStatus = WaitChild(pid);
  if (nSignal != 0) {
    EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == nSignal) << nStatus;
  } else {
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
  }
  ASSERT_EQ(tcgetattr(fdSlave, &tAfter), 0);
  ExpectSameTerminal(tBefore, tAfter);
  close(fdMaster);
  close(fdSlave);
  close(afdReport[0]);
  close(afdGo[1]);
}

INSTANTIATE_TEST_SUITE_P(Endings, PosixConsoleRestore,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGPIPE, 0),
                         [](const ::testing::TestParamInfo<int>& info) {
                           switch (info.param) {
                             case SIGTERM: return std::string("Sigterm");
                             case SIGINT: return std::string("Sigint");
                             case SIGHUP: return std::string("Sighup");
                             case SIGQUIT: return std::string("Sigquit");
                             case SIGPIPE: return std::string("Sigpipe");
                             default: return std::string("Exit");
                           }
                         });

TEST(PosixConsoleInput, PipeGivesEveryByteAsAKeyAndNoKeyAfterItsEnd) {
  int afdInput[2], afdReport[2], afdGo[2];
  ASSERT_EQ(pipe(afdInput), 0);
  ASSERT_EQ(pipe(afdReport), 0);
  ASSERT_EQ(pipe(afdGo), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(afdInput[1]);
    close(afdReport[0]);
    close(afdGo[1]);
    dup2(afdInput[0], STDIN_FILENO);
    ConsoleInit();
    Report(afdReport[1], ConsoleKeyWaiting() ? "1" : "0");  // open and empty
    char c = 0;
    if (read(afdGo[0], &c, 1) != 1) _exit(4);
    Report(afdReport[1], DrainKeys());
    _exit(0);
  }
  close(afdInput[0]);
  close(afdReport[1]);
  close(afdGo[0]);
  EXPECT_EQ(ReadFrom(afdReport[0], 1), "0");
  ASSERT_EQ(write(afdInput[1], "a\n\xE9", 3), 3);
  close(afdInput[1]);
  ASSERT_EQ(write(afdGo[1], "g", 1), 1);
  EXPECT_EQ(ReadFrom(afdReport[0], 0), "W97,W10,W233,N,R-1,N");
  int nStatus = WaitChild(pid);
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
  close(afdReport[0]);
  close(afdGo[1]);
}

TEST(PosixConsoleInput, FileGivesEveryByteAsAKeyAndNoKeyAfterItsEnd) {
  char szPath[] = "/tmp/vx_keys_XXXXXX";
  int fdFile = mkstemp(szPath);
  ASSERT_GE(fdFile, 0);
  ASSERT_EQ(write(fdFile, "q\r", 2), 2);
  lseek(fdFile, 0, SEEK_SET);
  unlink(szPath);
  int afdReport[2];
  ASSERT_EQ(pipe(afdReport), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(afdReport[0]);
    dup2(fdFile, STDIN_FILENO);
    ConsoleInit();
    Report(afdReport[1], DrainKeys());
    _exit(0);
  }
  close(afdReport[1]);
  EXPECT_EQ(ReadFrom(afdReport[0], 0), "W113,W13,N,R-1,N");
  int nStatus = WaitChild(pid);
  EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
  close(afdReport[0]);
  close(fdFile);
}

// ---- Paths ----

class PosixPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* p = std::getenv("PROGRAMDATA");
    bHad_ = p != nullptr;
    if (bHad_) sSaved_ = p;
  }
  void TearDown() override {
    if (bHad_) {
      setenv("PROGRAMDATA", sSaved_.c_str(), 1);
    } else {
      unsetenv("PROGRAMDATA");
    }
  }
  bool bHad_ = false;
  std::string sSaved_;
};

struct PathCase {
  const char* pszProgramData;  // nullptr: unset
  const char* pszWindows;
  const char* pszMapped;
};

TEST_F(PosixPaths, WindowsPathsMapToThisMachine) {
  const PathCase aCases[] = {
      {nullptr, "C:\\ProgramData\\Quenby Ltd\\Firmware\\pcversions.txt",
       "/var/lib/Quenby Ltd/Firmware/pcversions.txt"},
      {"", "C:\\ProgramData\\Quenby Ltd", "/var/lib/Quenby Ltd"},
      {"/srv/pd", "C:\\ProgramData\\Quenby Ltd\\Firmware\\a.prd1",
       "/srv/pd/Quenby Ltd/Firmware/a.prd1"},
      {"/srv/pd/", "c:\\programdata\\x", "/srv/pd/x"},
      {"/srv/pd", "C:/PROGRAMDATA/x\\y", "/srv/pd/x/y"},
      {"/srv/pd", "C:\\ProgramData", "/srv/pd"},
      {"/srv/pd", "C:\\ProgramDataX\\y", "C:/ProgramDataX/y"},
      {"/srv/pd", "D:\\ProgramData\\y", "D:/ProgramData/y"},
      {"/srv/pd", "Firmware\\a.prd1", "Firmware/a.prd1"},
      // As Windows opens them: the last component without trailing periods and blanks, any
      // other without a single trailing period; "." and ".." are left to the file system.
      {"/srv/pd", "C:\\ProgramData\\a.\\b..\\c \\d.prd1 . ", "/srv/pd/a/b../c /d.prd1"},
      {"/srv/pd", "C:\\ProgramData\\a.\\..\\.", "/srv/pd/a/../."},
      {"/srv/pd", "C:\\ProgramData\\a. \\", "/srv/pd/a. /"},
      {"/srv/pd", "", ""},
  };
  for (const PathCase& c : aCases) {
    if (c.pszProgramData == nullptr) {
      unsetenv("PROGRAMDATA");
    } else {
      setenv("PROGRAMDATA", c.pszProgramData, 1);
    }
    EXPECT_EQ(OsMapPath(c.pszWindows), c.pszMapped)
        << c.pszWindows << " with PROGRAMDATA=" << (c.pszProgramData ? c.pszProgramData : "(unset)");
  }
  EXPECT_EQ(OsMapPath(nullptr), "");
}

TEST_F(PosixPaths, OpenFileReadsThroughTheMappedPath) {
  char szDir[] = "/tmp/vx_pd_XXXXXX";
  ASSERT_NE(mkdtemp(szDir), nullptr);
  setenv("PROGRAMDATA", szDir, 1);
  std::string sFile = std::string(szDir) + "/pcversions.txt";
  FILE* pWrite = std::fopen(sFile.c_str(), "wb");
  ASSERT_NE(pWrite, nullptr);
  std::fputs("17\n", pWrite);
  std::fclose(pWrite);
  FILE* pRead = OsOpenFile("C:\\ProgramData\\pcversions.txt", "rb");
  ASSERT_NE(pRead, nullptr);
  char acLine[8] = {};
  EXPECT_NE(std::fgets(acLine, sizeof(acLine), pRead), nullptr);
  std::fclose(pRead);
  EXPECT_STREQ(acLine, "17\n");
  EXPECT_EQ(OsOpenFile("C:\\ProgramData\\absent.txt", "rb"), nullptr);
  std::remove(sFile.c_str());
  rmdir(szDir);
}

// ---- Text ----

class PosixText : public ::testing::Test {
 protected:
  void TearDown() override { std::setlocale(LC_CTYPE, "C"); }
};

TEST_F(PosixText, NonAsciiNameRoundTripsInAUtf8Locale) {
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  const char* pszName = "Prd1_M\xC3\xBCller_\xCE\xA9.bin";
  const wchar_t* pwszName = L"Prd1_M\u00FCller_\u03A9.bin";
  EXPECT_EQ(AnsiToWide(pszName), std::wstring(pwszName));
  EXPECT_EQ(WideToAnsi(pwszName), std::string(pszName));
  EXPECT_EQ(AnsiToWide(nullptr), L"");
  EXPECT_EQ(WideToAnsi(nullptr), "");
}

// Bytes that the locale cannot decode (any byte from 0x80 up in the C locale; Latin-1 text,
// stray and cut-off sequences in UTF-8) are neither dropped nor end the text.
TEST_F(PosixText, EveryByteRoundTripsWhateverTheLocale) {
  std::string sAllBytes;
  for (int i = 1; i < 256; ++i) sAllBytes.push_back(static_cast<char>(i));
  const std::string aTexts[] = {"12\xE9,0\n", "M\xFCller.bin", "ab\xFF" "cd", "ab\xC3", "\xC3\xBC\xC3",
                                "\xED\xB2\x80x", "\xF0\x9F\x98", sAllBytes};
  for (const char* pszLocale : {"C", "C.UTF-8"}) {
    if (std::setlocale(LC_CTYPE, pszLocale) == nullptr) continue;
    for (const std::string& sText : aTexts) {
      const std::wstring wsText = AnsiToWide(sText.c_str());
      EXPECT_EQ(WideToAnsi(wsText.c_str()), sText) << pszLocale << ": " << sText;
      // The text's own characters keep their places: the comma is still the fourth.
      if (sText[0] == '1') {
        EXPECT_EQ(wsText.find(L','), 3u) << pszLocale;
      }
    }
  }
  ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
  EXPECT_EQ(AnsiToWide("a\xE9"), std::wstring(L"a") + wchar_t{0xDCE9});
}

TEST_F(PosixText, WideTextStopsAtTheFirstCharacterTheLocaleLacks) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C"), nullptr);
  EXPECT_EQ(WideToAnsi(L"ab\u03A9cd"), "ab");
  EXPECT_EQ(WideToAnsi(L"plain.txt"), "plain.txt");
}

}  // namespace

// The Windows layer's own services under the real API: keys from piped standard input, the
// console around an attempt and at the end, ANSI text in the ANSI code page, paths left as
// they are.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/os/os.h"

namespace {

// Standard input swapped for the read end of a pipe for one test.
class Win32PipedInput : public ::testing::Test {
 protected:
  void SetUp() override {
    hSaved_ = GetStdHandle(STD_INPUT_HANDLE);
    ASSERT_TRUE(CreatePipe(&hRead_, &hWrite_, nullptr, 0));
    ASSERT_TRUE(SetStdHandle(STD_INPUT_HANDLE, hRead_));
  }
  void TearDown() override {
    SetStdHandle(STD_INPUT_HANDLE, hSaved_);
    if (hWrite_ != nullptr) CloseHandle(hWrite_);
    CloseHandle(hRead_);
  }
  void Write(const char* pBytes, DWORD nBytes) {
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(hWrite_, pBytes, nBytes, &dwWritten, nullptr));
    ASSERT_EQ(dwWritten, nBytes);
  }
  void CloseWriter() {
    CloseHandle(hWrite_);
    hWrite_ = nullptr;
  }
  HANDLE hSaved_ = nullptr, hRead_ = nullptr, hWrite_ = nullptr;
};

// Every byte is a key; the keys waiting when an attempt begins stay, those typed while it runs
// are gone, and later ones are read.
TEST_F(Win32PipedInput, EveryByteIsAKeyKeysTypedDuringAnAttemptAreGoneAndNoKeyAfterTheEnd) {
  ConsoleInit();
  EXPECT_FALSE(ConsoleKeyWaiting());  // open and empty: returns at once
  Write("xyz", 3);
  ASSERT_TRUE(ConsoleKeyWaiting());
  EXPECT_EQ(ConsoleReadKey(), 'x');
  ConsoleBeginAttempt();
  Write("12", 2);
  ConsoleEndAttempt();
  Write("a\n\xE9", 3);
  CloseWriter();
  std::string sKeys;
  for (int i = 0; i < 16 && ConsoleKeyWaiting(); ++i) sKeys += std::to_string(ConsoleReadKey()) + ",";
  EXPECT_EQ(sKeys, "121,122,97,10,233,");
  EXPECT_FALSE(ConsoleKeyWaiting());
  EXPECT_EQ(ConsoleReadKey(), -1);
  EXPECT_FALSE(ConsoleKeyWaiting());
}

// With a console as standard input (a pseudo-terminal gives Wine's console one); skipped
// without.
class Win32Console : public ::testing::Test {
 protected:
  void SetUp() override {
    hInput_ = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(hInput_, &dwSaved_)) GTEST_SKIP() << "standard input is not a console";
  }
  void TearDown() override {
    if (dwSaved_ != 0) SetConsoleMode(hInput_, dwSaved_ | ENABLE_EXTENDED_FLAGS);
  }
  DWORD Mode() const {
    DWORD dwMode = 0;
    GetConsoleMode(hInput_, &dwMode);
    return dwMode;
  }
  HANDLE hInput_ = nullptr;
  DWORD dwSaved_ = 0;
};

TEST_F(Win32Console, QuickEditIsOffDuringAnAttemptAndTheOperatorsModeComesBack) {
  const DWORD dwKeys = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_MOUSE_INPUT;
  const DWORD dwQuickEdit = ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;
  for (DWORD dwOperator : {dwKeys | dwQuickEdit | ENABLE_INSERT_MODE, dwKeys | dwQuickEdit,
                           dwKeys | ENABLE_EXTENDED_FLAGS | ENABLE_INSERT_MODE}) {
    ASSERT_TRUE(SetConsoleMode(hInput_, dwOperator));
    ConsoleBeginAttempt();
    EXPECT_EQ(Mode(), dwOperator & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE)) << std::hex << dwOperator;
    ConsoleEndAttempt();
    EXPECT_EQ(Mode(), dwOperator) << std::hex << dwOperator;
  }
}

// Run by the next test as a program of its own on the same console.
TEST_F(Win32Console, ChildPrintsInTheAnsiCodePage) {
  if (std::getenv("VX_CONSOLE_CHILD") == nullptr) GTEST_SKIP() << "run by the next test";
  ConsoleInit();
  EXPECT_EQ(GetConsoleOutputCP(), GetACP());
}

TEST_F(Win32Console, TheOperatorsCodePageComesBackWhenTheProgramEnds) {
  const UINT uOperator = GetACP() == 850 ? 437 : 850;  // an OEM code page, as consoles start with
  ASSERT_TRUE(SetConsoleOutputCP(uOperator));
  wchar_t wszSelf[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, wszSelf, MAX_PATH), 0u);
  std::wstring wsCommand = L"\"" + std::wstring(wszSelf) + L"\" --gtest_filter=Win32Console.ChildPrintsInTheAnsiCodePage";
  ASSERT_TRUE(SetEnvironmentVariableW(L"VX_CONSOLE_CHILD", L"1"));
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  const BOOL bStarted = CreateProcessW(nullptr, wsCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableW(L"VX_CONSOLE_CHILD", nullptr);
  ASSERT_TRUE(bStarted);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD dwExit = 1;
  GetExitCodeProcess(pi.hProcess, &dwExit);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(dwExit, 0u) << "the child's own test failed";
  EXPECT_EQ(GetConsoleOutputCP(), uOperator);
}

TEST(Win32Text, NonAsciiNameRoundTripsInTheAnsiCodePage) {
  const wchar_t* pwszName = L"Prd1_M\u00FCller.bin";
  std::string sExpected;
  switch (GetACP()) {
    case 1252: sExpected = "Prd1_M\xFCller.bin"; break;
    case CP_UTF8: sExpected = "Prd1_M\xC3\xBCller.bin"; break;
    default: GTEST_SKIP() << "ANSI code page " << GetACP() << " has no expected bytes here";
  }
  EXPECT_EQ(WideToAnsi(pwszName), sExpected);
  EXPECT_EQ(AnsiToWide(sExpected.c_str()), std::wstring(pwszName));
  EXPECT_EQ(AnsiToWide(nullptr), L"");
  EXPECT_EQ(WideToAnsi(nullptr), "");
}

TEST(Win32Text, WideTextStopsAtTheFirstCharacterTheCodePageLacks) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252";
  EXPECT_EQ(WideToAnsi(L"ab\u03A9cd"), "ab");
}

TEST(Win32Paths, ArePassedUnchanged) {
  EXPECT_EQ(OsMapPath("C:\\ProgramData\\Quenby Ltd\\x.txt"), "C:\\ProgramData\\Quenby Ltd\\x.txt");
  EXPECT_EQ(OsMapPath(nullptr), "");
}

}  // namespace

// The Windows layer's own services under the real API: keys from piped standard input, ANSI
// text in the ANSI code page, paths left as they are.
#include <gtest/gtest.h>

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

// Every byte is a key; the keys waiting when they are discarded (typed while an attempt ran)
// are gone, and later ones are read.
TEST_F(Win32PipedInput, EveryByteIsAKeyDiscardedOnesAreGoneAndNoKeyAfterTheEnd) {
  ConsoleInit();
  EXPECT_FALSE(ConsoleKeyWaiting());  // open and empty: returns at once
  Write("xyz", 3);
  ASSERT_TRUE(ConsoleKeyWaiting());
  EXPECT_EQ(ConsoleReadKey(), 'x');
  ConsoleDiscardKeys();
  EXPECT_FALSE(ConsoleKeyWaiting());
  Write("a\n\xE9", 3);
  CloseWriter();
  std::string sKeys;
  for (int i = 0; i < 16 && ConsoleKeyWaiting(); ++i) sKeys += std::to_string(ConsoleReadKey()) + ",";
  EXPECT_EQ(sKeys, "97,10,233,");
  EXPECT_FALSE(ConsoleKeyWaiting());
  EXPECT_EQ(ConsoleReadKey(), -1);
  EXPECT_FALSE(ConsoleKeyWaiting());
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

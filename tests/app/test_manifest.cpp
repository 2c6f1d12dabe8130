#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

#include "app/manifest.h"
#include "platform/os/os.h"
#include "tests/support/firmware_folder.h"

namespace {

namespace fs = std::filesystem;

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = vxtest::TempName(std::string("manifest_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(m_dir);
    m_path = (m_dir / "pcversions.txt").string();
  }
  void TearDown() override { fs::remove_all(m_dir); }

  // Writes the bytes exactly (binary), so that carriage returns reach the reader as given.
  void Write(const std::string& bytes) {
    ASSERT_TRUE(vxtest::WriteBytes(m_path, bytes));
  }

  VersionManifest Read(bool* pbOpened = nullptr) {
    VersionManifest manifest{};
    const bool bOpened = ReadVersionManifestFrom(m_path.c_str(), manifest);
    if (pbOpened) *pbOpened = bOpened;
    return manifest;
  }

  fs::path m_dir;
  std::string m_path;
};

struct EntryCase {
  const char* pszName;
  std::string text;  // the whole manifest
  int32_t nOverall;
  int32_t nType;     // the image type checked
  int32_t nVersion;
  std::wstring name;
};

void PrintTo(const EntryCase& c, std::ostream* pOut) { *pOut << c.pszName; }

class ManifestEntries : public ManifestTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(ManifestEntries, ParsesAsTheReaderRulesSay) {
  const EntryCase& c = GetParam();
  Write(c.text);
  VersionManifest manifest = Read();
  EXPECT_EQ(manifest.nOverallVersion, c.nOverall);
  EXPECT_EQ(*ManifestImageVersion(manifest, c.nType), c.nVersion);
  EXPECT_EQ(std::wstring(ManifestFileName(manifest, c.nType)), c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ManifestEntries,
    ::testing::Values(
        EntryCase{"Basic", "12,0\n3,1,main.bin\n", 12, 1, 3, L"main.bin"},
        EntryCase{"FirstLineWithoutComma", "12\n3,1,main.bin\n", 0, 1, 3, L"main.bin"},
        EntryCase{"FirstLineIsNeverAnEntry", "5,1,x.bin\n", 5, 1, 0, L""},
        EntryCase{"BlanksAfterCommasKept", "1,0\n3, 1, main.bin\n", 1, 1, 3, L" main.bin"},
        EntryCase{"CommasInFileName", "1,0\n4,2,a,b.bin\n", 1, 2, 4, L"a,b.bin"},
        EntryCase{"LaterLineWins", "1,0\n3,1,old.bin\n4,1,new.bin\n", 1, 1, 4, L"new.bin"},
        EntryCase{"TrailingBlanksKept", "1,0\n2,1,fw.bin  \n", 1, 1, 2, L"fw.bin  "},
        EntryCase{"CarriageReturnRemoved", "1,0\r\n2,1,fw.bin\r\n", 1, 1, 2, L"fw.bin"},
        EntryCase{"LastLineWithoutLineFeed", "1,0\n2,10,ten.bin", 1, 10, 2, L"ten.bin"},
        EntryCase{"HexVersionReadsZero", "1,0\n0x10,3,a.bin\n", 1, 3, 0, L"a.bin"},
        EntryCase{"DigitsThenLetters", "12abc,0\n12abc,4,a.bin\n", 12, 4, 12, L"a.bin"},
        EntryCase{"BlankThenNegative", " -5,0\n -5,5,a.bin\n", -5, 5, -5, L"a.bin"},
        EntryCase{"HugeNumberHeldAtLimit", "99999999999999999999,0\n", INT32_MAX, 1, 0, L""},
        EntryCase{"ByteOrderMarkSkipped", "\xEF\xBB\xBF" "12,0\n3,1,main.bin\n", 12, 1, 3, L"main.bin"}),
    [](const auto& info) { return std::string(info.param.pszName); });

// The tests run in the C locale, which on POSIX decodes no byte from 0x80 up: such bytes
// neither cut the line nor change the name, which turns back into the manifest's bytes.
TEST_F(ManifestTest, BytesTheLocaleCannotDecodeAreKept) {
  Write("12\xE9,0\n3,1,M\xFCller\xFF.bin\n\xE9" "5,2,b.bin\n");
  VersionManifest manifest = Read();
  EXPECT_EQ(manifest.nOverallVersion, 12);
  EXPECT_EQ(manifest.nVersionType1, 3);
  EXPECT_EQ(WideToAnsi(manifest.wszFileType1), "M\xFCller\xFF.bin");
  EXPECT_EQ(manifest.nVersionType2, 0) << "a version that begins with another byte reads as atoi reads it";
  EXPECT_EQ(WideToAnsi(manifest.wszFileType2), "b.bin");
}

TEST_F(ManifestTest, IgnoresLinesWithoutAValidImageType) {
  Write("7,0\n7,11,x.bin\n7,0,x.bin\n7,one,x.bin\n7,x.bin\n\n");
  VersionManifest manifest = Read();
  EXPECT_EQ(manifest.nOverallVersion, 7);
  for (int32_t nType = 1; nType <= 10; ++nType) {
    EXPECT_EQ(*ManifestImageVersion(manifest, nType), 0) << nType;
    EXPECT_EQ(ManifestFileName(manifest, nType)[0], L'\0') << nType;
  }
  EXPECT_EQ(ManifestImageVersion(manifest, 0), nullptr);
  EXPECT_EQ(ManifestImageVersion(manifest, 11), nullptr);
}

TEST_F(ManifestTest, LongLineIsReadInPiecesOf79Characters) {
  // 100 characters: the first piece of 79 is an entry of type 2; the rest, "2,3,..." is a
  // line of its own and an entry of type 3.
  std::string first = "6,2," + std::string(75, 'a');  // 79 characters
  std::string second = "9,3," + std::string(17, 'b');  // 21 characters
  ASSERT_EQ(first.size() + second.size(), 100u);
  Write("1,0\n" + first + second + "\n");
  VersionManifest manifest = Read();
  EXPECT_EQ(manifest.nVersionType2, 6);
  EXPECT_EQ(std::wstring(manifest.wszFileType2), std::wstring(75, L'a'));
  EXPECT_EQ(manifest.nVersionType3, 9);
  EXPECT_EQ(std::wstring(manifest.wszFileType3), std::wstring(17, L'b'));
}

TEST_F(ManifestTest, EveryImageTypeLandsInItsOwnField) {
  std::string text = "3,0\n";
  for (int nType = 1; nType <= 10; ++nType)
    text += std::to_string(100 + nType) + "," + std::to_string(nType) + ",img" + std::to_string(nType) + ".bin\n";
  Write(text);
  VersionManifest manifest = Read();
  const int32_t anExpected[] = {manifest.nVersionType1, manifest.nVersionType2, manifest.nVersionType3,
                                manifest.nVersionType4, manifest.nVersionType5, manifest.nVersionType6,
                                manifest.nVersionType7, manifest.nVersionType8, manifest.nVersionType9,
                                manifest.nVersionType10};
  for (int nType = 1; nType <= 10; ++nType) {
    EXPECT_EQ(anExpected[nType - 1], 100 + nType);
    EXPECT_EQ(std::wstring(ManifestFileName(manifest, nType)), L"img" + std::to_wstring(nType) + L".bin");
  }
}

TEST_F(ManifestTest, OverwritesOnlyWhatTheFileGives) {
  Write("");
  VersionManifest manifest{};
  manifest.nOverallVersion = 42;
  manifest.nVersionType1 = 7;
  EXPECT_TRUE(ReadVersionManifestFrom(m_path.c_str(), manifest));
  EXPECT_EQ(manifest.nOverallVersion, 42);
  EXPECT_EQ(manifest.nVersionType1, 7);

  Write("5,0\n");
  EXPECT_TRUE(ReadVersionManifestFrom(m_path.c_str(), manifest));
  EXPECT_EQ(manifest.nOverallVersion, 5);
  EXPECT_EQ(manifest.nVersionType1, 7);
}

TEST_F(ManifestTest, MissingFileReturnsFalseAndChangesNothing) {
  VersionManifest manifest{};
  manifest.nOverallVersion = 9;
  EXPECT_FALSE(ReadVersionManifestFrom((m_dir / "absent.txt").string().c_str(), manifest));
  EXPECT_EQ(manifest.nOverallVersion, 9);
}

}  // namespace

// The real vx_fw_load against the real vx_locator_sim: keys on standard input, standard
// output compared exactly, and the simulator's trace and dumps checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/support/firmware_folder.h"
#include "tests/support/folder_snapshot.h"
#include "tests/support/words.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLongWaitMs = 30000;

// ---- Texts of the program, as an operator sees them ----
const std::string kStartup =
    "\nQUENBY VALTOR FIRMWARE UPDATER\n"
    "\n=================================================\n";
const std::string kConnectPrompt =
    "\nConnect Valtor locator and switch on while holding the f and up buttons...\r\n";
const std::string kConnected = "\nKessan USB Device Connected\n\nPress any key to start download\n";
const std::string kDisconnected =
    "\nKessan USB Device Disconnected\n"
    "\nConnect next locator and switch on while holding the f and up buttons\n";
const std::string kComplete =
    "Download Complete\r\n************************************************************\r\n\r\n";
const std::string kImageErases =
    "\nErasing Flash Sector : 0x8000\nErasing Flash Sector : 0x10000"
    "\nErasing Flash Sector : 0x18000\nErasing Flash Sector : 0x20000";

// The download of main.bin up to the first page's dot.
std::string ImageStart(int nKilobytes, int nPages) {
  return kImageErases + "\n\nFile : main.bin\nFile Size (Kilobytes) = " + std::to_string(nKilobytes) +
         "\nFlash Page Size = 256 bytes, Number Pages = " + std::to_string(nPages) +
         "\nFlash Start Sector Address = 0x8000\nDownloading " + std::to_string(nPages) + " Pages To Flash\n.";
}

const std::string kHeaderImageRecord =
    "\nUpdating EEPROM Firmware Versions Image Type 1 ver 7  CRC 0x1234 Length 0x0 Status 4\n";

std::string DownloadOfHeaderImage() {
  return ImageStart(0, 1) +
         "\nDownload Completed.\n"
         "\nFlashCRC = 0x94E889E8, File CRC = 0x94E889E8\n"
         "SUCCESS, Flash and Firmware File CRCs equal\n" +
         kHeaderImageRecord;
}

const std::string kSuccessfulAttempt =
    "\nChecksums do NOT match\n" + DownloadOfHeaderImage() +
    "\nErasing Flash Sector : 0x3000"
    "\nChecksums match\n" +
    kComplete;

// n little-endian words from a byte offset; empty when the bytes end before them.
std::vector<uint32_t> Words(const std::vector<uint8_t>& bytes, size_t offset, size_t n) {
  return bytes.size() < offset + 4 * n ? std::vector<uint32_t>{} : vxtest::ToWords(&bytes[offset], uint32_t(4 * n));
}

ChildProcess::Options OnATerminal() {
  ChildProcess::Options options;
  options.bTerminal = true;
  return options;
}

ChildProcess::Options OutputTo(const std::string& path) {
  ChildProcess::Options options;
  options.stdoutFile = path;
  return options;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = vxtest::TempName(std::string("e2e_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(m_dir);  // a failed run of an earlier process of this id may have left it
    m_firmware = m_dir / "ProgramData" / "Quenby Ltd" / "Valtor Firmware Updater" / "Firmware";
    fs::create_directories(m_firmware);
    m_socket = (m_dir / "sim.sock").string();
  }

  void TearDown() override {
    m_updater.reset();
    m_sim.reset();
    // The updater only reads the firmware folder.
    if (m_bFolderTaken) {
      EXPECT_TRUE(vxtest::SnapshotOf(m_firmware) == m_folderAtStart) << "firmware folder changed";
    }
    if (!HasFailure()) fs::remove_all(m_dir);
  }

  void WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    vxtest::WriteBytes(m_firmware / name, bytes);
  }
  void WriteManifest(const std::string& text) { WriteFile("pcversions.txt", {text.begin(), text.end()}); }
  void StandardFolder(bool bWithManifest = true, bool bWithImage = true) {
    if (bWithManifest) WriteManifest("12,0\n3,1,main.bin\n");
    if (bWithImage) WriteFile("main.bin", vxtest::NineByteHeaderImage());
  }

  // Starts the simulator with the given extra options; waits until it listens.
  void StartSim(std::vector<std::string> extra) {
    ChildProcess::Options options;
    options.argv = {VX_LOCATOR_SIM_PATH, "--socket", m_socket, "--fast",
                    "--trace", (m_dir / "trace.txt").string(),
                    "--dump-flash", (m_dir / "flash.bin").string(),
                    "--dump-eeprom", (m_dir / "eeprom.bin").string()};
    options.argv.insert(options.argv.end(), extra.begin(), extra.end());
    m_sim = std::make_unique<ChildProcess>(options);
    ASSERT_TRUE(m_sim->Started());
    ASSERT_TRUE(m_sim->WaitFor("listening", kLongWaitMs)) << m_sim->Output();
  }

  // Starts the updater against the simulator, or with bRealBus on the machine's own USB; its
  // standard streams as `streams` says.
  void StartUpdater(ChildProcess::Options streams = {}, bool bRealBus = false) {
    m_folderAtStart = vxtest::SnapshotOf(m_firmware);
    m_bFolderTaken = true;
    streams.argv = {VX_FW_LOAD_PATH};
    streams.env = {{"PROGRAMDATA", (m_dir / "ProgramData").string()}, {"VX_LOCATOR_SIM", bRealBus ? "" : m_socket}};
    m_updater = std::make_unique<ChildProcess>(streams);
    ASSERT_TRUE(m_updater->Started());
  }

  // The simulator with the given extra options, then the updater against it.
  void Start(const std::vector<std::string>& simOptions = {}, const ChildProcess::Options& streams = {}) {
    StartSim(simOptions);
    if (!HasFatalFailure()) StartUpdater(streams);
  }

  // The updater's output holds `text` n times within the long wait.
  ::testing::AssertionResult Saw(const std::string& text, size_t n = 1) {
    if (m_updater->WaitFor(text, kLongWaitMs, n)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no " << n << " of \"" << text << "\" in:\n" << m_updater->Output();
  }

  // Waits for the locator, presses a key, and waits for `end` and the output to settle.
  ::testing::AssertionResult Attempt(const std::string& end = kComplete) {
    ::testing::AssertionResult r = Saw(kConnected);
    if (!r) return r;
    m_updater->Write("k");
    r = Saw(end);
    if (r) m_updater->WaitQuiet(300, 2000);
    return r;
  }

  // Stops the simulator so that it writes its dumps, then reads them.
  void StopSim() {
    const int status = m_sim->Stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);
    m_flash = vxtest::FileBytes((m_dir / "flash.bin").string());
    m_eeprom = vxtest::FileBytes((m_dir / "eeprom.bin").string());
    m_trace = vxtest::FileLines((m_dir / "trace.txt").string());
  }

  // Command codes of the requests the simulator received, in order.
  std::vector<uint32_t> Commands() const {
    std::vector<uint32_t> commands;
    for (const std::string& line : m_trace) {
      if (line.rfind("OUT", 0) != 0) continue;
      std::istringstream in(line.substr(line.find(':') + 1));
      uint32_t n, m, command;
      in >> std::hex >> n >> m >> command;
      if (in) commands.push_back(command);
    }
    return commands;
  }

  // The start-up and preparation texts for the standard folder.
  static std::string Preamble(const std::string& versions = "Overall Version 12\nmain.bin 3\n") {
    return kStartup + versions + kConnectPrompt;
  }

  // Bytes of flash from a unit address.
  std::vector<uint8_t> Flash(uint32_t unit, size_t bytes) const {
    return std::vector<uint8_t>(m_flash.begin() + unit * 2, m_flash.begin() + unit * 2 + bytes);
  }

  fs::path m_dir, m_firmware;
  std::string m_socket;
  vxtest::FolderSnapshot m_folderAtStart;
  bool m_bFolderTaken = false;
  std::unique_ptr<ChildProcess> m_sim, m_updater;
  std::vector<uint8_t> m_flash, m_eeprom;
  std::vector<std::string> m_trace;
};

// The updater's threads (named vx-usb-*, and libusb's own), other than its main thread, that
// run above normal priority: a real-time policy, or a nice value below this test's own (the
// one the process started with). A sanitizer's runtime threads are not the updater's.
std::vector<std::string> ThreadsAboveNormal(pid_t pid) {
  const int nNormal = getpriority(PRIO_PROCESS, 0);
  std::vector<std::string> above;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    if (task.path().filename() == std::to_string(pid)) continue;
    std::string name, stat;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name.rfind("vx-usb-", 0) != 0 && name.rfind("libusb", 0) != 0) continue;
    std::getline(std::ifstream(task.path() / "stat"), stat);
    // After the name in parentheses: the state (field 3), ... nice (19), ... policy (41).
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::vector<long> fields;
    std::string word;
    while (in >> word) fields.push_back(std::strtol(word.c_str(), nullptr, 10));
    if (fields.size() < 39) continue;  // the thread ended meanwhile
    const long nNice = fields[19 - 3], nPolicy = fields[41 - 3];
    if (nPolicy != SCHED_OTHER || nNice < nNormal) {
      above.push_back(stat.substr(0, stat.rfind(')') + 1) + " policy " + std::to_string(nPolicy) + " nice " +
                      std::to_string(nNice));
    }
  }
  return above;
}

TEST_F(EndToEnd, SuccessfulUpdateProgramsImageInfoBlockAndRecords) {
  StandardFolder();
  Start();
  ASSERT_TRUE(Attempt());
  // Start-up raised the main thread (to real-time scheduling where permitted); the layer's
  // dispatch thread and the socket backend's connection thread, which it started, are back
  // at normal priority.
  EXPECT_EQ(ThreadsAboveNormal(m_updater->Pid()), std::vector<std::string>{});
  EXPECT_EQ(m_updater->Output(), Preamble() + kConnected + kSuccessfulAttempt);
  EXPECT_FALSE(m_updater->Exited(nullptr)) << "the updater never ends by itself";
  StopSim();

  // The image, zero-padded to a page, at 0x8000.
  std::vector<uint8_t> page = vxtest::NineByteHeaderImage();
  page.resize(256, 0);
  EXPECT_EQ(Flash(0x8000, 256), page);
  // The info block: versions, the image CRC and length, words 4-15 as read (erased), 16-18
  // cleared, and a valid checksum.
  std::vector<uint32_t> info = {12, 3, 0x94E889E8, 128};
  info.resize(16, 0xFFFFFFFF);
  info.resize(19, 0);
  info.push_back(std::accumulate(info.begin(), info.end(), 0u));
  EXPECT_EQ(Words(Flash(0x3000, 80), 0, 20), info);
  // ImageVersionRecord for type 1 and the OverallVersionRecord.
  EXPECT_EQ(Words(m_eeprom, 0x1010, 4), (std::vector<uint32_t>{7, 0x1234, 0, 4}));
  EXPECT_EQ(Words(m_eeprom, 0x1000, 3), (std::vector<uint32_t>{1, 12, 0}));
}

// How a row starts the updater and watches it. Without standard output, or once its reader
// has gone, the simulator's log tells when the attempt has ended.
enum class Streams {
  kPipes,         // keys on a pipe, output on a pipe
  kReaderGoes,    // output on a pipe whose reader closes it once the attempt has begun
  kStdoutClosed,  // started with standard output closed
  kStdinClosed,   // started with standard input closed: no key ever comes
};

struct FailureCase {
  const char* pszName;
  std::vector<std::string> faults;
  bool bWithImage;
  std::string attempt;             // the attempt's whole output
  std::vector<uint32_t> commands;  // every request of the attempt, in order
  bool bWithManifest = true;       // without one: no versions and an empty image name
  Streams streams = Streams::kPipes;
};

void PrintTo(const FailureCase& c, std::ostream* pOut) { *pOut << c.pszName; }

class EndToEndFailures : public EndToEnd, public ::testing::WithParamInterface<FailureCase> {};

constexpr uint32_t E = 404, S = 405, CFI = 408, RD = 409, WR = 412, CRC = 413, EE = 901;
const std::vector<uint32_t> kSuccessfulCommands = {RD, E, S, E, S, E, S, E, S, WR, CRC, EE, E, S, WR, RD, EE};

// Reads a pipe into sText until it holds `text` (bounded by the long wait).
bool ReadPipeUntil(int fd, std::string& sText, const std::string& text) {
  for (int i = 0; i < kLongWaitMs / 100 && sText.find(text) == std::string::npos; ++i) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char ac[4096];
    const ssize_t n = read(fd, ac, sizeof ac);
    if (n > 0) sText.append(ac, static_cast<size_t>(n));
  }
  return sText.find(text) != std::string::npos;
}

TEST_P(EndToEndFailures, EndsTheAttemptAtTheFailingStep) {
  const FailureCase& c = GetParam();
  StandardFolder(c.bWithManifest, c.bWithImage);
  std::vector<std::string> options;
  for (const std::string& fault : c.faults) options.insert(options.end(), {"--fault", fault});
  ChildProcess::Options streams;
  streams.bCloseStdin = c.streams == Streams::kStdinClosed;
  streams.bCloseStdout = c.streams == Streams::kStdoutClosed;
  int fdReader = -1;
  if (c.streams == Streams::kReaderGoes) {
    streams.stdoutFile = (m_dir / "out.fifo").string();
    ASSERT_EQ(mkfifo(streams.stdoutFile.c_str(), 0600), 0);
    fdReader = open(streams.stdoutFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // the only reader
    ASSERT_GE(fdReader, 0);
  }
  Start(options, streams);
  const std::string sExpected =
      (c.bWithManifest ? Preamble() : Preamble("Overall Version 0\n 0\n")) + kConnected + c.attempt;
  const std::string kAttemptBegun = "\nErasing Flash Sector : 0x8000";
  switch (c.streams) {
    case Streams::kPipes:
      ASSERT_TRUE(Attempt());
      break;
    case Streams::kStdinClosed:
      ASSERT_TRUE(Saw(kConnected));
      m_updater->WaitQuiet(500, 3000);
      break;
    case Streams::kReaderGoes:
    case Streams::kStdoutClosed: {
      std::string sSeen;
      if (fdReader >= 0) {
        ASSERT_TRUE(ReadPipeUntil(fdReader, sSeen, kConnected)) << sSeen;
      } else {
        ASSERT_TRUE(m_sim->WaitFor("flash identification read", kLongWaitMs)) << m_sim->Output();
      }
      m_updater->Write("k");
      if (fdReader >= 0) {
        ASSERT_TRUE(ReadPipeUntil(fdReader, sSeen, kAttemptBegun)) << sSeen;
        close(fdReader);  // every later write of the updater fails
        EXPECT_EQ(sExpected.substr(0, sSeen.size()), sSeen);
      }
      ASSERT_TRUE(m_sim->WaitFor("EEPROM write of 12 bytes at 0x1000", kLongWaitMs))
          << (m_updater->Exited(nullptr) ? "the updater has ended\n" : "") << m_sim->Output();
      break;
    }
  }
  if (c.streams != Streams::kReaderGoes && c.streams != Streams::kStdoutClosed) {
    EXPECT_EQ(m_updater->Output(), sExpected);
  }
  EXPECT_FALSE(m_updater->Exited(nullptr)) << "the updater never ends by itself";
  EXPECT_EQ(CountOf(m_sim->Output(), "client connected"), 1u) << "the link was dropped:\n" << m_sim->Output();
  if (c.streams == Streams::kStdinClosed || c.streams == Streams::kStdoutClosed) {
    // The closed descriptor is the null device's, not the link's nor a file's.
    const int fd = c.streams == Streams::kStdinClosed ? 0 : 1;
    std::error_code ec;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(m_updater->Pid()) + "/fd/" + std::to_string(fd), ec).string(),
              std::string("/dev/null"));
  }
  StopSim();
  std::vector<uint32_t> expected = {CFI};
  expected.insert(expected.end(), c.commands.begin(), c.commands.end());
  EXPECT_EQ(Commands(), expected);
  if (!c.commands.empty()) {
    EXPECT_EQ(Words(m_eeprom, 0x1000, 3), (std::vector<uint32_t>{1, c.bWithManifest ? 12u : 0u, 0}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, EndToEndFailures,
    ::testing::Values(
        FailureCase{"InfoReadFails",
                    {"result=5@cmd=409#1"},
                    true,
                    "\nRead from Flash Sector 0x3000 - failed, nRetCode = 5\n"
                    "Prd1 file download failed - Error code = -1" + kComplete,
                    {RD, EE}},
        FailureCase{"InfoSectorEraseFails",
                    {"result=0@cmd=404#5"},
                    true,
                    "\nChecksums do NOT match\n" + DownloadOfHeaderImage() +
                        "\nErasing Flash Sector : 0x3000"
                        "\nError erasing sector 0x3000\n"
                        "Prd1 file download failed - Error code = -2" + kComplete,
                    {RD, E, S, E, S, E, S, E, S, WR, CRC, EE, E, EE}},
        // A failed erase of any image sector stops the download before a page is written.
        FailureCase{"ImageSectorEraseFails",
                    {"result=0@cmd=404#3"},
                    true,
                    "\nChecksums do NOT match\n"
                    "\nErasing Flash Sector : 0x8000\nErasing Flash Sector : 0x10000\nErasing Flash Sector : 0x18000"
                    "\nError erasing sector\n"
                    "Prd1 file download failed - Error code = -3" + kComplete,
                    {RD, E, S, E, S, E, EE}},
        FailureCase{"ImageFileMissing",
                    {},
                    false,
                    "\nChecksums do NOT match\n"
                    "\nFile : main.bin does NOT exist\n"
                    "Prd1 file download failed - Error code = -3" + kComplete,
                    {RD, EE}},
        FailureCase{"PageWriteFails",
                    {"result=55@cmd=412#1"},
                    true,
                    "\nChecksums do NOT match\n" + ImageStart(0, 1) +
                        "\nCommunication error during Firmware Download"
                        "\nError Code = 55, nPage = 0, Address offset = 0x0\n" +
                        kHeaderImageRecord + "Prd1 file download failed - Error code = -3" + kComplete,
                    {RD, E, S, E, S, E, S, E, S, WR, EE, EE}},
        FailureCase{"InfoBlockWriteFails",
                    {"result=9@cmd=412#2"},
                    true,
                    "\nChecksums do NOT match\n" + DownloadOfHeaderImage() +
                        "\nErasing Flash Sector : 0x3000"
                        "\nWrite to Flash Sector 0x3000 - failed, nRetCode = 9\n"
                        "Prd1 file download failed - Error code = -4" + kComplete,
                    {RD, E, S, E, S, E, S, E, S, WR, CRC, EE, E, S, WR, EE}},
        FailureCase{"ManifestMissing",
                    {},
                    false,
                    "\nChecksums do NOT match\n"
                    "\nFile :  does NOT exist\n"
                    "Prd1 file download failed - Error code = -3" + kComplete,
                    {RD, EE},
                    false},
        // A reader that goes away, or no standard output at all, ends no write and no attempt,
        // and no text reaches the link.
        FailureCase{"OutputReaderGoesDuringTheAttempt", {}, true, kSuccessfulAttempt, kSuccessfulCommands, true,
                    Streams::kReaderGoes},
        FailureCase{"StandardOutputClosed", {}, true, "", kSuccessfulCommands, true, Streams::kStdoutClosed},
        // Without standard input no key comes, and the link is not read as keys.
        FailureCase{"StandardInputClosed", {}, true, "", {}, true, Streams::kStdinClosed}),
    [](const auto& info) { return std::string(info.param.pszName); });

// The image is read whole before the first erase: a file cut short once the attempt has
// begun changes nothing that reaches the locator. The image is larger than a stdio buffer,
// which the file's first read fills.
TEST_F(EndToEnd, ImageCutShortDuringTheAttemptIsProgrammedAsItWasRead) {
  StandardFolder(true, false);
  std::vector<uint8_t> image(40 * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 5);
  WriteFile("main.bin", image);
  Start();
  ASSERT_TRUE(Saw(kConnected));
  m_updater->Write("k");
  ASSERT_TRUE(Saw("\nErasing Flash Sector : 0x8000"));
  fs::resize_file(m_firmware / "main.bin", 10);
  m_folderAtStart = vxtest::SnapshotOf(m_firmware);  // the test's own change
  ASSERT_TRUE(Saw(kComplete));
  const std::string out = m_updater->Output();
  EXPECT_NE(out.find("Downloading 40 Pages To Flash"), std::string::npos) << out;
  EXPECT_NE(out.find("SUCCESS, Flash and Firmware File CRCs equal\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("Prd1 file download failed"), std::string::npos) << out;
  StopSim();
  EXPECT_TRUE(Flash(0x8000, image.size()) == image) << "the image read is not the image programmed";
}

TEST_F(EndToEnd, KeysWithoutLocatorAreReportedOncePerKey) {
  StandardFolder();
  Start({"--plug-delay", "600000"});
  ASSERT_TRUE(Saw(kConnectPrompt));
  m_updater->Write("ab");
  ASSERT_TRUE(Saw("USB Device NOT Connected\n", 2));
  m_updater->WaitQuiet(300, 2000);
  EXPECT_EQ(m_updater->Output(), Preamble() + "USB Device NOT Connected\nUSB Device NOT Connected\n");
}

// Context switches of the USB backend's threads (named vx-usb-*); -1 when there are none.
long BackgroundWakeups(pid_t pid) {
  long n = -1;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::string name;
    std::getline(std::ifstream(task.path() / "comm"), name);
    if (name.rfind("vx-usb-", 0) != 0) continue;
    n = std::max(n, 0L);
    std::ifstream status(task.path() / "status");
    std::string key;
    long value = 0;
    while (status >> key) {
      if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
        status >> value;
        n += value;
      }
    }
  }
  return n;
}

TEST_F(EndToEnd, WithoutASimulatorItWaitsOnTheRealBusQuietly) {
  StandardFolder();
  StartUpdater({}, /*bRealBus=*/true);
  ASSERT_TRUE(Saw(kConnectPrompt));
  m_updater->Write("a");
  ASSERT_TRUE(Saw("USB Device NOT Connected\n"));
  // A few wake-ups a second at most (bringing the bus up, polling for arrivals): no busy loop.
  const long nBefore = BackgroundWakeups(m_updater->Pid());
  ASSERT_GE(nBefore, 0) << "the USB backend's threads are not running";
  EXPECT_EQ(ThreadsAboveNormal(m_updater->Pid()), std::vector<std::string>{});
  m_updater->WaitQuiet(2000, 2000);
  EXPECT_LE(BackgroundWakeups(m_updater->Pid()) - nBefore, 20);
  EXPECT_EQ(m_updater->Output(), Preamble() + "USB Device NOT Connected\n");
}

// Keys pressed while an attempt runs are discarded when it ends; a key of two codes pressed
// before it is two presses, and a key pressed after "Download Complete" starts the next attempt.
// On a pipe and on a terminal, where an arrow key is three bytes and two key codes.
TEST_F(EndToEnd, KeysPressedDuringAnAttemptAreDiscarded) {
  for (const bool bTerminal : {false, true}) {
    SCOPED_TRACE(bTerminal ? "terminal" : "pipe");
    StandardFolder();
    Start({}, bTerminal ? OnATerminal() : ChildProcess::Options{});
    ASSERT_TRUE(Saw(kConnected));
    m_updater->Write(bTerminal ? "\x1b[A" : "\xE0\x48");  // an arrow key: two codes
    ASSERT_TRUE(Saw("\nFile : main.bin"));
    m_updater->Write("xy");
    ASSERT_TRUE(Saw(kComplete, 2));
    m_updater->Write("k");
    ASSERT_TRUE(Saw(kComplete, 3));
    m_updater->WaitQuiet(500, 3000);
    // After the first attempt the info block reads back with a valid checksum.
    const std::string kRepeatAttempt =
        "\nChecksums match\n" + DownloadOfHeaderImage() + "\nErasing Flash Sector : 0x3000\nChecksums match\n" +
        kComplete;
    EXPECT_EQ(m_updater->Output(), Preamble() + kConnected + kSuccessfulAttempt + kRepeatAttempt + kRepeatAttempt);
    m_updater.reset();
    m_sim.reset();
  }
}

TEST_F(EndToEnd, UnplugDuringDownloadFailsTheAttemptAndIsReported) {
  StandardFolder(true, false);
  std::vector<uint8_t> image(5 * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  WriteFile("main.bin", image);
  // The locator goes as the third page's request arrives: that transfer moves nothing (66).
  Start({"--fault", "unplugbefore@cmd=412#3"});
  ASSERT_TRUE(Attempt(kDisconnected));
  EXPECT_EQ(m_updater->Output(),
            Preamble() + kConnected + "\nChecksums do NOT match\n" + ImageStart(1, 5) +
                "\nCommunication error during Firmware Download"
                "\nError Code = 66, nPage = 2, Address offset = 0x100\n"
                "\nUpdating EEPROM Firmware Versions Image Type 0 ver 0  CRC 0x0 Length 0x0 Status 4\n"
                "Error Maximum Eeprom Address 0x3FFFF exceeded for 256 Kbyte Eeprom\n"
                "Error Number of bytes greater than an Eeprom page size = 256\n"
                "Prd1 file download failed - Error code = -3" +
                kComplete + kDisconnected);
  StopSim();
  // Pages 0 and 1 reached the flash; nothing after the unplug did.
  EXPECT_EQ(Flash(0x8000, 512), std::vector<uint8_t>(image.begin(), image.begin() + 512));
  EXPECT_EQ(Flash(0x8100, 256), std::vector<uint8_t>(256, 0xFF));
}

TEST_F(EndToEnd, ProductionLineUpdatesOneLocatorAfterAnother) {
  StandardFolder();
  Start({"--production-line", "--replug-ms", "1000"});
  for (size_t n = 1; n <= 2; ++n) {
    ASSERT_TRUE(Saw(kConnected, n));
    m_updater->Write("k");
    ASSERT_TRUE(Saw(kDisconnected, n));
  }
  ASSERT_TRUE(Saw(kConnected, 3));
  m_updater->WaitQuiet(300, 2000);
  // Every locator arrives erased, so each attempt reads as the first one did.
  const std::string kOne = kConnected + kSuccessfulAttempt + kDisconnected;
  EXPECT_EQ(m_updater->Output(), Preamble() + kOne + kOne + kConnected);
}

TEST_F(EndToEnd, OutputToAFileIsThereWhileTheProgramRuns) {
  StandardFolder();
  Start({"--plug-delay", "600000"}, OutputTo((m_dir / "out.txt").string()));
  // Start-up pauses 1000 ms after opening the channel and 1000 ms before the prompt.
  std::string text;
  for (int i = 0; i < 100 && text.find(kConnectPrompt) == std::string::npos; ++i) {
    usleep(100 * 1000);
    const std::vector<uint8_t> bytes = vxtest::FileBytes((m_dir / "out.txt").string());
    text.assign(bytes.begin(), bytes.end());
  }
  EXPECT_FALSE(m_updater->Exited(nullptr));
  EXPECT_EQ(text, Preamble());
}

TEST_F(EndToEnd, TerminalIsRestoredAfterSigterm) {
  StandardFolder();
  Start({}, OnATerminal());
  // The terminal starts as a shell leaves it (canonical, echoing); while the updater runs,
  // keys are read one at a time and unechoed; after SIGTERM it is as it was.
  ASSERT_TRUE(Saw("Press any key"));
  struct termios during {};
  ASSERT_EQ(tcgetattr(m_updater->TerminalFd(), &during), 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
  const int status = m_updater->Stop(SIGTERM);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  struct termios after {};
  ASSERT_EQ(tcgetattr(m_updater->TerminalFd(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

}  // namespace

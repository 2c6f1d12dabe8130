// A hot-plug storm: the locator comes and goes thousands of times while the main thread
// polls and transacts. Run under ThreadSanitizer and AddressSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "tests/support/channel_fixture.h"
#include "usb/usb_message.h"

namespace {

const std::string kUp = "\nKessan USB Device Connected\n";
const std::string kDown = "\nKessan USB Device Disconnected\n";

// The connect and disconnect announcements in the order printed: 'U' and 'D'.
std::string Announcements(const std::string& sOutput) {
  std::string sSeq;
  size_t pos = 0;
  for (;;) {
    size_t up = sOutput.find(kUp, pos);
    size_t down = sOutput.find(kDown, pos);
    if (up == std::string::npos && down == std::string::npos) break;
    if (up < down) {
      sSeq += 'U';
      pos = up + kUp.size();
    } else {
      sSeq += 'D';
      pos = down + kDown.size();
    }
  }
  return sSeq;
}

class StormTest : public vxtest::ChannelTest {};

TEST_F(StormTest, PollAndTransactThroughThousandsOfPlugCycles) {
  constexpr int kCycles = 3000;
  const std::set<int32_t> linkCodes = {USB_ERR_NOT_CONNECTED,   USB_ERR_TIMEOUT,         USB_ERR_TRANSFER,
                                       USB_ERR_SHORT_WRITE,     USB_ERR_RESPONSE_LENGTH, USB_ERR_CHECKSUM};
  std::atomic<bool> bDone{false};
  std::thread storm([&] {
    for (int i = 0; i < kCycles; ++i) {
      pLocator->Plug();
      if (i % 3 == 0) std::this_thread::yield();
      pLocator->Unplug();
      if (i % 5 == 0) std::this_thread::yield();
    }
    bDone = true;
  });

  int nPolls = 0, nExchanges = 0, nAnswered = 0;
  std::string sOutput;
  std::vector<int32_t> unexpected;
  while (!bDone.load()) {
    bool bUp = PollConnection();
    ++nPolls;
    if (bUp) {
      ClearBuffers();
      pCUsbMessage->pu32Request[0] = kReadCfiWords;
      pCUsbMessage->pu32Request[1] = kReadCfiReplyWords;
      pCUsbMessage->pu32Request[2] = CMD_READ_FLASH_CFI;
      int32_t nResult = Transact();
      ++nExchanges;
      if (!LastTransactFailedInLink() && nResult == 0)
        ++nAnswered;
      else if (!LastTransactFailedInLink() || linkCodes.count(nResult) == 0)
        unexpected.push_back(nResult);
    }
    if (nPolls % 64 == 0) sOutput += TakeOutput();
    std::this_thread::yield();
  }
  storm.join();
  ASSERT_TRUE(WduWaitIdle(10000));

  // Quiet again: the locator is out, then in once more.
  EXPECT_FALSE(pCUsbMessage->bConnected);
  EXPECT_EQ(pCUsbMessage->aDriverCtx[1].nEntries, 0u);
  EXPECT_FALSE(PollConnection());
  sOutput += TakeOutput();
  ASSERT_TRUE(PlugAndConnect());
  sOutput += sConnectOutput;
  EXPECT_EQ(pCUsbMessage->aDriverCtx[1].nEntries, 1u);

  EXPECT_TRUE(unexpected.empty()) << "first unexpected result " << unexpected.front();
  std::string sSeq = Announcements(sOutput);
  ASSERT_FALSE(sSeq.empty());
  EXPECT_EQ(sSeq.back(), 'U');
  for (size_t i = 0; i < sSeq.size(); ++i)
    ASSERT_EQ(sSeq[i], i % 2 == 0 ? 'U' : 'D') << "announcement " << i << " of " << sSeq;
  RecordProperty("polls", nPolls);
  RecordProperty("exchanges", nExchanges);
  RecordProperty("answered", nAnswered);
  RecordProperty("announcements", static_cast<int>(sSeq.size()));
}

}  // namespace

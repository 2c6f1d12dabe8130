// A GoogleTest fixture around the one channel and an in-process simulated locator.
//
// SetUp: creates a vxsim::Locator (Config(), erase times 0 by default), installs the layer's
// backend (Backend(), the locator's simulator backend by default), records OsSleep calls
// instead of sleeping, captures standard output, constructs pCUsbMessage and calls
// OpenChannel (its result in nOpenResult).
// TearDown: ResetChannelState (which stops every handler), deletes the channel, restores the
// sleep hook and standard output, deletes the locator. When the test failed, everything it
// printed is replayed on the real standard output.
//
//   class MyTest : public vxtest::ChannelTest {};
//   TEST_F(MyTest, Something) { ASSERT_TRUE(PlugAndConnect()); ... TakeOutput() ... }
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/wdu/sim_backend.h"
#include "platform/wdu/testing.h"
#include "sim/locator.h"
#include "tests/support/sleep_recorder.h"
#include "tests/support/stdout_capture.h"
#include "usb/usb_message.h"

namespace vxtest {

class ChannelTest : public ::testing::Test {
 protected:
  // The simulated locator's configuration; override to change it. Not plugged in.
  virtual vxsim::LocatorConfig Config() const { return vxsim::LocatorConfig{}; }
  // The backend the channel registers with; override to use another one.
  virtual const WduBackend* Backend() { return WduSimBackend(pLocator.get()); }

  void SetUp() override {
    pLocator = std::make_unique<vxsim::Locator>(Config());
    SleepRecorder::Install();
    ASSERT_TRUE(capture_.Start()) << "cannot capture standard output";
    WduSelectBackend(Backend());
    pCUsbMessage = new CUsbMessage;
    nOpenResult = OpenChannel();
    ASSERT_TRUE(WduWaitIdle(5000));
  }

  void TearDown() override {
    CUsbMessage* pChannel = pCUsbMessage;
    ResetChannelState();
    delete pChannel;
    WduSelectBackend(nullptr);
    SleepRecorder::Uninstall();
    std::string sPrinted = capture_.All();
    capture_.Stop();
    if (HasFailure() && !sPrinted.empty()) {
      std::printf("---- standard output of the failed test ----\n%s\n---- end ----\n", sPrinted.c_str());
      std::fflush(stdout);
    }
    pLocator.reset();
  }

  // Plugs the locator in, lets the handlers run and polls until the poll reports the
  // device (at most nMaxPolls polls). What the polls printed goes to sConnectOutput; then
  // the recorded sleeps and the locator's trace are cleared, so that the test sees only
  // what follows.
  bool PlugAndConnect(int nMaxPolls = 100) {
    pLocator->Plug();
    if (!WduWaitIdle(5000)) return false;
    bool bUp = false;
    for (int i = 0; i < nMaxPolls && !bUp; ++i) bUp = PollConnection();
    sConnectOutput = TakeOutput();
    SleepRecorder::Clear();
    pLocator->ClearTrace();
    return bUp;
  }

  // Unplugs the locator and lets the handlers run.
  bool Unplug() {
    pLocator->Unplug();
    return WduWaitIdle(5000);
  }

  // Standard output printed since the last call (or since SetUp).
  std::string TakeOutput() { return capture_.Take(); }

  // The OsSleep durations recorded so far (since SetUp or the last ClearSleeps).
  static std::vector<DWORD> Sleeps() { return SleepRecorder::Sleeps(); }
  static void ClearSleeps() { SleepRecorder::Clear(); }

  std::unique_ptr<vxsim::Locator> pLocator;
  int32_t nOpenResult = -1;
  std::string sConnectOutput;

 private:
  StdoutCapture capture_;
};

}  // namespace vxtest

// Hot-plug handlers and the connection poll: what the poll prints as locators come and go,
// the identification read, several devices at once, and a poll that cannot take the
// semaphore.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "device/commands.h"
#include "platform/wdu/testing.h"
#include "sim/locator.h"
#include "tests/support/channel_fixture.h"
#include "tests/support/fake_backend.h"
#include "usb/usb_message.h"

namespace {

const std::string kKessanUp = "\nKessan USB Device Connected\n";
const std::string kDorrinUp = "\nDorrin C6748 USB Device Connected\n";
const std::string kKessanDown =
    "\nKessan USB Device Disconnected\n"
    "\nConnect next locator and switch on while holding the f and up buttons\n";
const std::string kDorrinDown = "\nDorrin C6748 USB Device Disconnected\n";
const std::string kPressAnyKey = "\nPress any key to start download\n";
const std::string kCfiError = "\nError reading flash CFI\n";

class HotplugTest : public vxtest::ChannelTest {};

// The opened channel holds both registrations and no device: polls report nothing.
TEST_F(HotplugTest, OpenChannelRegistersBothProductsAndPollsSeeNoDevice) {
  const CUsbMessage& c = *pCUsbMessage;
  EXPECT_EQ(nOpenResult, 0);
  EXPECT_TRUE(c.bInitialised);
  EXPECT_NE(c.hSemaphore, nullptr);
  EXPECT_NE(hDriverType1, nullptr);
  EXPECT_NE(hDriverType9, nullptr);
  EXPECT_NE(hDriverType1, hDriverType9);
  EXPECT_EQ(c.dwLastStatus, 0u);
  for (const DriverContext& ctx : c.aDriverCtx) {
    EXPECT_NE(ctx.hAttachEvent, nullptr);
    EXPECT_NE(ctx.hListMutex, nullptr);
    EXPECT_EQ(OsEventWait(ctx.hIdleEvent, 0), 0u) << "the idle event starts signalled";
    EXPECT_EQ(OsEventWait(ctx.hAttachEvent, 0), WD_TIME_OUT_EXPIRED);
    EXPECT_EQ(ctx.nEntries, 0u);
    EXPECT_EQ(ctx.pFirstEntry, nullptr);
  }
  // The link's buffers and limits as the channel is made.
  EXPECT_EQ(c.hUsbDevice, nullptr);
  EXPECT_FALSE(c.bConnected);
  EXPECT_EQ(c.dwLastOsError, 0u);
  EXPECT_EQ(std::tie(c.nBufferBytes, c.nMaxWords, c.dwTimeoutMs), std::make_tuple(512u, 127u, 3000u));
  EXPECT_EQ(c.pu32Request, c.au32Request);
  EXPECT_EQ(c.pu32Response, c.au32Response);
  EXPECT_EQ(sizeof(c.au32Request), 512u);
  for (uint32_t w : c.au32Request) EXPECT_EQ(w, 0u);
  for (uint32_t w : c.au32Response) EXPECT_EQ(w, 0u);

  for (int i = 0; i < 3; ++i) EXPECT_FALSE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");
  EXPECT_EQ(Sleeps(), (std::vector<DWORD>{30, 30, 30}));
  EXPECT_EQ(c.nDeviceType, -1);
  EXPECT_EQ(pLocator->ExchangeCount(), 0u);
}

// One entry sets the flag, none clears it, more than one leaves it as it was.
TEST_F(HotplugTest, UpdateConnectedFlagFollowsTheEntryCount) {
  struct Row {
    uint32_t count;
    bool before;
    bool after;
  };
  for (const Row& r : {Row{0, false, false}, Row{0, true, false}, Row{1, false, true}, Row{1, true, true},
                       Row{2, false, false}, Row{2, true, true}, Row{7, true, true}}) {
    SCOPED_TRACE(testing::Message() << r.count << " entries, flag " << r.before);
    pCUsbMessage->bConnected = r.before;
    UpdateConnectedFlag(r.count);
    EXPECT_EQ(pCUsbMessage->bConnected, r.after);
  }
}

TEST_F(HotplugTest, RegistrationFailurePrintsItsStatus) {
  DriverContext ctx{};
  WDU_DRIVER_HANDLE hDriver = nullptr;
  EXPECT_EQ(DriverInit(nullptr, &ctx, &hDriver), WD_INVALID_PARAMETER);
  EXPECT_EQ(TakeOutput(), "\nDriverInit: failed to initialize USB driver: error 0x20000003 ");
  EXPECT_NE(ctx.hAttachEvent, nullptr);
  EXPECT_EQ(OsEventWait(ctx.hIdleEvent, 0), 0u);
}

TEST_F(HotplugTest, SyncObjectFailuresShowTheHandleAsWindowsPrintsIt) {
  const std::string sDigits(2 * sizeof(void*) - 4, '0');
  PrintCreateFailure(false, reinterpret_cast<void*>(uintptr_t{0xBEEF}), 0x20000001);
  EXPECT_EQ(TakeOutput(), "\nDriverInit: OsEventCreate() failed on event 0x" + sDigits + "BEEF: error 0x20000001 ");
  PrintCreateFailure(true, nullptr, 8);
  EXPECT_EQ(TakeOutput(), "\nDriverInit: OsMutexCreate() failed on mutex 0x" + sDigits + "0000: error 0x8 ");
}

// A backend that cannot be opened: the first registration fails and the second is not tried.
class FailingOpenTest : public vxtest::ChannelTest {
 protected:
  const WduBackend* Backend() override {
    fake.FailOpen(WD_OPERATION_FAILED);
    return fake.Backend();
  }
  vxtest::FakeBackend fake;
};

TEST_F(FailingOpenTest, OpenChannelReturns51AndTheChannelStaysEmpty) {
  EXPECT_EQ(nOpenResult, USB_ERR_DRIVER_INIT);
  EXPECT_EQ(TakeOutput(), "\nDriverInit: failed to initialize USB driver: error 0x20000013 ");
  EXPECT_EQ(pCUsbMessage->dwLastStatus, WD_OPERATION_FAILED);
  EXPECT_FALSE(pCUsbMessage->bInitialised);
  EXPECT_EQ(hDriverType9, nullptr);
  EXPECT_EQ(pCUsbMessage->aDriverCtx[1].hListMutex, nullptr) << "the second registration is not tried";
  EXPECT_FALSE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");
}

struct ProductCase {
  uint16_t productId;
  int ctx;  // index in aDriverCtx of the registration that serves it
  std::string up;
  std::string down;
};

class ProductTest : public vxtest::ChannelTest, public testing::WithParamInterface<ProductCase> {
 protected:
  vxsim::LocatorConfig Config() const override {
    vxsim::LocatorConfig c;
    c.productId = GetParam().productId;
    return c;
  }
};

// Arrival, a stay, departure, and a second arrival of the same kind of device.
TEST_P(ProductTest, ArrivalAndDepartureAreAnnouncedOnce) {
  const ProductCase& p = GetParam();
  const DriverContext& ctx = pCUsbMessage->aDriverCtx[p.ctx];
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    pLocator->Plug();
    ASSERT_TRUE(WduWaitIdle(5000));
    EXPECT_EQ(OsEventWait(ctx.hAttachEvent, 0), 0u);
    EXPECT_EQ(ctx.nEntries, 1u);
    EXPECT_EQ(pCUsbMessage->aDriverCtx[1 - p.ctx].nEntries, 0u);
    EXPECT_EQ(pCUsbMessage->nDeviceType, p.productId);
    ASSERT_NE(ctx.pFirstEntry, nullptr);
    EXPECT_EQ(ctx.pFirstEntry->nVendorId, kLocatorVendorId);
    EXPECT_EQ(ctx.pFirstEntry->nProductId, p.productId);
    EXPECT_EQ(ctx.pFirstEntry->hUsbDevice, pCUsbMessage->hUsbDevice);
    WDU_DEVICE_HANDLE hDevice = pCUsbMessage->hUsbDevice;
    ClearSleeps();

    EXPECT_TRUE(PollConnection());
    EXPECT_EQ(TakeOutput(), p.up + kPressAnyKey);
    EXPECT_EQ(pLocator->CommandCount(CMD_READ_FLASH_CFI), round + 1u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(PollConnection());
    EXPECT_EQ(TakeOutput(), "");
    EXPECT_EQ(pLocator->CommandCount(CMD_READ_FLASH_CFI), round + 1u);

    ASSERT_TRUE(Unplug());
    EXPECT_FALSE(pCUsbMessage->bConnected);
    EXPECT_EQ(ctx.nEntries, 0u);
    EXPECT_EQ(ctx.pFirstEntry, nullptr);
    EXPECT_EQ(pCUsbMessage->nDeviceType, -1);
    EXPECT_EQ(pCUsbMessage->hUsbDevice, hDevice) << "a departure keeps the handle";
    EXPECT_FALSE(PollConnection());
    EXPECT_EQ(TakeOutput(), p.down);
    EXPECT_FALSE(PollConnection());
    EXPECT_EQ(TakeOutput(), "");
    EXPECT_EQ(Sleeps(), std::vector<DWORD>(6, 30)) << "every poll pauses 30 ms";
  }
}

INSTANTIATE_TEST_SUITE_P(Products, ProductTest,
                         testing::Values(ProductCase{9, 1, kKessanUp, kKessanDown},
                                         ProductCase{1, 0, kDorrinUp, kDorrinDown}),
                         [](const testing::TestParamInfo<ProductCase>& info) {
                           return "Product" + std::to_string(info.param.productId);
                         });

TEST_F(HotplugTest, FailedIdentificationReadIsReportedOnceAndKeepsTheConnection) {
  vxsim::Fault f;
  f.kind = vxsim::FaultKind::kBadChecksum;
  f.command = CMD_READ_FLASH_CFI;
  f.nth = 1;
  pLocator->AddFault(f);
  pLocator->Plug();
  ASSERT_TRUE(WduWaitIdle(5000));
  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), kKessanUp + kCfiError);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");
  EXPECT_EQ(pLocator->CommandCount(CMD_READ_FLASH_CFI), 1u);
}

// A poll that cannot take the semaphore sees no device; the next one sees it come back.
TEST_F(HotplugTest, PollWhoseSemaphoreWaitFailsReportsADeparture) {
  ASSERT_TRUE(PlugAndConnect());
  EXPECT_EQ(sConnectOutput, kKessanUp + kPressAnyKey);
  ASSERT_EQ(WaitForSingleObject(pCUsbMessage->hSemaphore, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(PollConnection());
  ASSERT_TRUE(ReleaseSemaphore(pCUsbMessage->hSemaphore, 1, nullptr));
  EXPECT_EQ(TakeOutput(), kKessanDown);
  EXPECT_TRUE(pCUsbMessage->bConnected) << "the handlers' state is untouched";

  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), kKessanUp + kPressAnyKey);
  EXPECT_EQ(pLocator->CommandCount(CMD_READ_FLASH_CFI), 2u);
  EXPECT_EQ(pCUsbMessage->dwLastOsError, 0u);
}

// ---- Several devices: a scripted backend that the test drives by hand, answering every
// request with a well-formed response of the requested size and result 0 ----

class MultiDeviceTest : public vxtest::ChannelTest {
 protected:
  const WduBackend* Backend() override {
    bus.ScriptTransfers(&vxtest::FakeBackend::WellFormedResponse);
    return bus.Backend();
  }
  void Arrive(uint64_t id, uint16_t productId) {
    bus.Plug(id, productId);
    ASSERT_TRUE(WduWaitIdle(5000));
  }
  void Leave(uint64_t id) {
    bus.Unplug(id);
    ASSERT_TRUE(WduWaitIdle(5000));
  }
  uint32_t Entries() const {
    return pCUsbMessage->aDriverCtx[0].nEntries + pCUsbMessage->aDriverCtx[1].nEntries;
  }
  vxtest::FakeBackend bus;
};

class SecondDeviceTest : public MultiDeviceTest, public testing::WithParamInterface<uint16_t> {};

// A second device while one is connected is accepted without an entry; when the first leaves
// the channel is disconnected and the second is not reported until it comes again.
TEST_P(SecondDeviceTest, SecondDeviceIsIgnoredUntilItComesAgain) {
  const uint16_t uSecond = GetParam();
  Arrive(1, 9);
  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), kKessanUp + kPressAnyKey);
  WDU_DEVICE_HANDLE hFirst = pCUsbMessage->hUsbDevice;
  ASSERT_NE(hFirst, nullptr);

  Arrive(2, uSecond);
  EXPECT_EQ(bus.Count(bus.kSetInterface, 2), 0) << "no interface is selected for it";
  EXPECT_EQ(Entries(), 1u);
  EXPECT_EQ(pCUsbMessage->hUsbDevice, hFirst);
  EXPECT_EQ(pCUsbMessage->nDeviceType, 9);
  EXPECT_TRUE(pCUsbMessage->bConnected);
  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");

  Leave(1);
  EXPECT_FALSE(pCUsbMessage->bConnected);
  EXPECT_EQ(Entries(), 0u);
  EXPECT_FALSE(PollConnection());
  EXPECT_EQ(TakeOutput(), kKessanDown);
  EXPECT_FALSE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");

  Leave(2);
  EXPECT_FALSE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");
  Arrive(3, uSecond);
  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), (uSecond == 1 ? kDorrinUp : kKessanUp) + kPressAnyKey);
  EXPECT_NE(pCUsbMessage->hUsbDevice, hFirst);
  EXPECT_EQ(bus.Count(bus.kOut, 3), 1) << "one identification read for the new device";
  EXPECT_EQ(bus.Count(bus.kOut, 2), 0);
}

INSTANTIATE_TEST_SUITE_P(SameAndOtherProduct, SecondDeviceTest, testing::Values<uint16_t>(9, 1),
                         [](const testing::TestParamInfo<uint16_t>& info) {
                           return "Product" + std::to_string(info.param);
                         });

// The departure of a device that has no entry leaves the connected device in place.
TEST_F(MultiDeviceTest, DepartureOfAnUnlistedDeviceChangesNothing) {
  Arrive(1, 9);
  EXPECT_TRUE(PollConnection());
  WDU_DEVICE_HANDLE hFirst = pCUsbMessage->hUsbDevice;
  Arrive(2, 9);
  Leave(2);
  EXPECT_TRUE(pCUsbMessage->bConnected);
  EXPECT_EQ(Entries(), 1u);
  EXPECT_EQ(pCUsbMessage->nDeviceType, 9);
  EXPECT_EQ(pCUsbMessage->hUsbDevice, hFirst);
  TakeOutput();
  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), "");

  Leave(1);
  EXPECT_FALSE(PollConnection());
  EXPECT_EQ(TakeOutput(), kKessanDown);
}

TEST_F(MultiDeviceTest, FailedInterfaceSelectionIsRecordedAndTheDeviceStillConnects) {
  bus.FailSetInterface(1, WD_USBD_STATUS_STALL);
  Arrive(1, 1);
  EXPECT_EQ(bus.Count(bus.kSetInterface, 1), 1);
  EXPECT_EQ(pCUsbMessage->dwLastStatus, WD_USBD_STATUS_STALL);
  EXPECT_TRUE(PollConnection());
  EXPECT_EQ(TakeOutput(), kDorrinUp + kPressAnyKey);
}

// An entry marked in use is released and the departure waits for the idle event.
TEST_F(MultiDeviceTest, DepartureOfTheEntryInUseClearsTheMark) {
  Arrive(1, 9);
  DriverContext& ctx = pCUsbMessage->aDriverCtx[1];
  ASSERT_NE(ctx.pFirstEntry, nullptr);
  ctx.pInUseEntry = ctx.pFirstEntry;
  Leave(1);
  EXPECT_EQ(ctx.pInUseEntry, nullptr);
  EXPECT_EQ(ctx.pFirstEntry, nullptr);
  EXPECT_FALSE(pCUsbMessage->bConnected);
}

}  // namespace

// The framed transport against the simulated locator: what goes on the wire, the frame
// tests applied to what comes back, and the result codes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/commands.h"
#include "sim/locator.h"
#include "tests/support/channel_fixture.h"
#include "usb/usb_message.h"

namespace {

using vxsim::Fault;
using vxsim::FaultKind;
using vxsim::TraceEntry;

std::vector<TraceEntry> OutFrames(const vxsim::Locator& locator) {
  std::vector<TraceEntry> out;
  for (const TraceEntry& e : locator.Trace())
    if (e.bOut) out.push_back(e);
  return out;
}

void WriteRequest(const std::vector<uint32_t>& words) {
  ClearBuffers();
  for (size_t i = 0; i < words.size(); ++i) pCUsbMessage->pu32Request[i] = words[i];
}

class TransportTest : public vxtest::ChannelTest {};

TEST(WordSumTest, SumsModulo2To32) {
  const uint32_t a[] = {0xFFFFFFFFu, 2u, 0x80000000u, 0x80000000u};
  EXPECT_EQ(WordSum(a, 0), 0u);
  EXPECT_EQ(WordSum(a, 1), 0xFFFFFFFFu);
  EXPECT_EQ(WordSum(a, 2), 1u);
  EXPECT_EQ(WordSum(a, 4), 1u);
  const uint32_t b[] = {3, 7, 408};
  EXPECT_EQ(WordSum(b, 3), 418u);
}

// Requests that pass the length tests go out as n + 1 words with the checksum last.
TEST_F(TransportTest, RequestGoesOutWithItsChecksum) {
  ASSERT_TRUE(PlugAndConnect());
  struct Case {
    uint32_t n;
    uint32_t m;
    uint32_t command;
  };
  for (const Case& c : {Case{3, 7, CMD_READ_FLASH_CFI}, Case{3, 3, CMD_ERASE_STATUS}, Case{127, 3, 777},
                        Case{127, 127, 777}}) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " m=" << c.m);
    std::vector<uint32_t> words = {c.n, c.m, c.command};
    for (uint32_t i = 3; i < c.n; ++i) words.push_back(0x01010101u * i);
    WriteRequest(words);
    pLocator->ClearTrace();
    int32_t nResult = Transact();
    EXPECT_FALSE(LastTransactFailedInLink()) << nResult;

    std::vector<TraceEntry> out = OutFrames(*pLocator);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes, (c.n + 1) * 4);
    std::vector<uint32_t> expected = words;
    expected.push_back(WordSum(words.data(), c.n));
    EXPECT_EQ(out[0].words, expected);
    EXPECT_EQ(pCUsbMessage->au32Request[c.n], expected.back());
  }
}

TEST_F(TransportTest, IdentificationRequestIsTheFourWords3_7_408_418) {
  ASSERT_TRUE(PlugAndConnect());
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  EXPECT_EQ(Transact(), 0);
  std::vector<TraceEntry> out = OutFrames(*pLocator);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, 16u);
  EXPECT_EQ(out[0].words, (std::vector<uint32_t>{3, 7, 408, 418}));
  // The response region is (m + 1) words: 7 words and the checksum.
  EXPECT_EQ(pCUsbMessage->pu32Response[0], 7u);
  EXPECT_EQ(pCUsbMessage->pu32Response[7], WordSum(pCUsbMessage->pu32Response, 7));
}

// Word counts out of range are refused before anything is sent.
TEST_F(TransportTest, BadWordCountsSendNothing) {
  ASSERT_TRUE(PlugAndConnect());
  struct Case {
    uint32_t n;
    uint32_t m;
    int32_t expected;
  };
  for (const Case& c : {Case{128, 7, USB_ERR_REQUEST_LENGTH}, Case{2, 7, USB_ERR_REQUEST_LENGTH},
                        Case{0, 0, USB_ERR_REQUEST_LENGTH}, Case{0xFFFFFFFFu, 7, USB_ERR_REQUEST_LENGTH},
                        Case{3, 2, USB_ERR_RESPONSE_LENGTH}, Case{3, 128, USB_ERR_RESPONSE_LENGTH},
                        Case{128, 2, USB_ERR_REQUEST_LENGTH}}) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " m=" << c.m);
    WriteRequest({c.n, c.m, CMD_READ_FLASH_CFI});
    pCUsbMessage->au32Response[0] = 0xA5A5A5A5u;
    EXPECT_EQ(Transact(), c.expected);
    EXPECT_TRUE(LastTransactFailedInLink());
    EXPECT_TRUE(pLocator->Trace().empty());
    EXPECT_EQ(pCUsbMessage->au32Response[0], 0xA5A5A5A5u) << "a refused request touches no response";
  }
}

TEST_F(TransportTest, NoDeviceGives53AndSendsNothingButKeepsTheChecksum) {
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  EXPECT_EQ(Transact(), USB_ERR_NOT_CONNECTED);
  EXPECT_TRUE(LastTransactFailedInLink());
  EXPECT_EQ(pCUsbMessage->au32Request[3], 418u);
  EXPECT_TRUE(pLocator->Trace().empty());
  EXPECT_EQ(pLocator->ExchangeCount(), 0u);
}

// What the device answers, and what Transact makes of it.
struct ResponseCase {
  const char* name;
  Fault fault;
  int32_t expected;
  bool bLink;
};

class TransportResponseTest : public vxtest::ChannelTest, public testing::WithParamInterface<ResponseCase> {};

TEST_P(TransportResponseTest, ResultOfOneExchange) {
  ASSERT_TRUE(PlugAndConnect());
  Fault fault = GetParam().fault;
  fault.exchange = pLocator->ExchangeCount() + 1;
  pLocator->AddFault(fault);
  pCUsbMessage->dwTimeoutMs = 50;  // the short write waits out its time-out
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  // A stale response region must not leak into the frame tests.
  std::memset(pCUsbMessage->au32Response, 0xA5, sizeof(pCUsbMessage->au32Response));
  EXPECT_EQ(Transact(), GetParam().expected);
  EXPECT_EQ(LastTransactFailedInLink(), GetParam().bLink);
  // Only the response region of m + 1 words was cleared.
  EXPECT_EQ(pCUsbMessage->au32Response[8], 0xA5A5A5A5u);
}

Fault MakeFault(FaultKind kind, uint32_t value = 0) {
  Fault f;
  f.kind = kind;
  f.value = value;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransportResponseTest,
    testing::Values(ResponseCase{"Clean", MakeFault(FaultKind::kResult, 0), 0, false},
                    ResponseCase{"ResultWord5", MakeFault(FaultKind::kResult, 5), 5, false},
                    // A result word that looks like a link code is still a result word.
                    ResponseCase{"ResultWord53", MakeFault(FaultKind::kResult, 53), 53, false},
                    ResponseCase{"BadChecksum", MakeFault(FaultKind::kBadChecksum), USB_ERR_CHECKSUM, true},
                    ResponseCase{"WrongCount", MakeFault(FaultKind::kWrongCount), USB_ERR_RESPONSE_LENGTH, true},
                    ResponseCase{"AllZero", MakeFault(FaultKind::kZeroResponse), USB_ERR_RESPONSE_LENGTH, true},
                    // 200 is beyond the buffer: refused before any checksum is taken.
                    ResponseCase{"CountTooLarge", MakeFault(FaultKind::kCountTooLarge, 200),
                                 USB_ERR_RESPONSE_LENGTH, true},
                    ResponseCase{"CountMax", MakeFault(FaultKind::kCountTooLarge, 0xFFFFFFFFu),
                                 USB_ERR_RESPONSE_LENGTH, true},
                    // Two words arrive: the checksum word (word 7) is still zero.
                    ResponseCase{"ShortResponse", MakeFault(FaultKind::kShortResponse, 8), USB_ERR_CHECKSUM, true},
                    ResponseCase{"ShortWriteTimesOut", MakeFault(FaultKind::kShortWrite, 8), USB_ERR_SHORT_WRITE,
                                 true},
                    // Nothing moved: a short write, whatever the status.
                    ResponseCase{"UnplugBefore", MakeFault(FaultKind::kUnplugBefore), USB_ERR_SHORT_WRITE, true}),
    [](const testing::TestParamInfo<ResponseCase>& info) { return std::string(info.param.name); });

// Bad checksum together with a wrong count: the checksum test comes first.
TEST_F(TransportTest, ChecksumIsTestedBeforeTheCount) {
  ASSERT_TRUE(PlugAndConnect());
  Fault wrong = MakeFault(FaultKind::kWrongCount);
  wrong.exchange = pLocator->ExchangeCount() + 1;
  Fault bad = MakeFault(FaultKind::kBadChecksum);
  bad.exchange = wrong.exchange;
  pLocator->AddFault(wrong);
  pLocator->AddFault(bad);
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  EXPECT_EQ(Transact(), USB_ERR_CHECKSUM);
}

TEST_F(TransportTest, NoAnswerTimesOutOnTheInPipe) {
  ASSERT_TRUE(PlugAndConnect());
  pCUsbMessage->dwTimeoutMs = 20;
  Fault f = MakeFault(FaultKind::kNoAnswer);
  f.exchange = pLocator->ExchangeCount() + 1;
  pLocator->AddFault(f);
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  EXPECT_EQ(Transact(), USB_ERR_TIMEOUT);
  EXPECT_TRUE(LastTransactFailedInLink());
}

// A departure right after an exchange: the next one is refused before anything is sent.
TEST_F(TransportTest, DepartureAfterAnExchangeRefusesTheNext) {
  ASSERT_TRUE(PlugAndConnect());
  Fault f = MakeFault(FaultKind::kUnplugAfter);
  f.exchange = pLocator->ExchangeCount() + 1;
  pLocator->AddFault(f);
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  EXPECT_EQ(Transact(), 0);
  ASSERT_TRUE(WduWaitIdle(5000));
  pLocator->ClearTrace();
  WriteRequest({3, 7, CMD_READ_FLASH_CFI});
  EXPECT_EQ(Transact(), USB_ERR_NOT_CONNECTED);
  EXPECT_TRUE(pLocator->Trace().empty());
}

}  // namespace

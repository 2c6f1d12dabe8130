// Cost of one Transact exchange (the identification read 3, 7, 408) on the host side.
//
//   BM_TransactSim       Transact against the in-process simulated locator, zero latency:
//                        host + layer + simulator.
//   BM_SimOnly           the same exchange driven directly on the simulator (Out, In): the
//                        simulator's own share, to subtract from the above.
//   BM_TransactHostOnly  Transact against a backend that answers from a prepared frame: the
//                        host's path alone (channel, transport and driver library layer).
//
// Every benchmark reports allocs_per_exchange: heap allocations counted by the replaced
// global operator new between the start and the end of its timed loop, per exchange.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "counting_new.h"
#include "device/commands.h"
#include "platform/os/os.h"
#include "platform/wdu/sim_backend.h"
#include "platform/wdu/testing.h"
#include "sim/locator.h"
#include "tests/support/locator_arrival.h"
#include "usb/usb_message.h"

namespace {

void NoSleep(DWORD) {}

void WriteIdentificationRequest() {
  ClearBuffers();
  pCUsbMessage->pu32Request[0] = kReadCfiWords;
  pCUsbMessage->pu32Request[1] = kReadCfiReplyWords;
  pCUsbMessage->pu32Request[2] = CMD_READ_FLASH_CFI;
}

// The channel opened on a backend, with one device connected; torn down at the end.
class Session {
 public:
  explicit Session(const WduBackend* pBackend) {
    OsSetSleepHook(&NoSleep);
    WduSelectBackend(pBackend);
    pCUsbMessage = new CUsbMessage;
    bOk_ = OpenChannel() == 0;
  }
  bool Connect() {
    WduWaitIdle(5000);
    for (int i = 0; i < 100 && bOk_; ++i)
      if (PollConnection()) return true;
    return false;
  }
  ~Session() {
    CUsbMessage* p = pCUsbMessage;
    ResetChannelState();
    delete p;
    WduSelectBackend(nullptr);
    OsSetSleepHook(nullptr);
  }

 private:
  bool bOk_ = false;
};

void ReportAllocs(benchmark::State& state, uint64_t nBefore) {
  const uint64_t nAllocs = AllocationCount() - nBefore;
  state.counters["allocs_per_exchange"] =
      benchmark::Counter(static_cast<double>(nAllocs) / static_cast<double>(state.iterations()));
}

// Connects, then repeats the identification exchange for the whole run.
void TransactLoop(benchmark::State& state, Session& session) {
  if (!session.Connect()) {
    state.SkipWithError("no connection");
    return;
  }
  WriteIdentificationRequest();
  int32_t nBad = 0;
  const uint64_t nBefore = AllocationCount();
  for (auto _ : state) {
    int32_t nResult = Transact();
    nBad += nResult != 0;
    benchmark::DoNotOptimize(nResult);
  }
  ReportAllocs(state, nBefore);
  if (nBad != 0) state.SkipWithError("an exchange failed");
}

void BM_TransactSim(benchmark::State& state) {
  vxsim::Locator locator;
  Session session(WduSimBackend(&locator));
  locator.Plug();
  TransactLoop(state, session);
}
BENCHMARK(BM_TransactSim);

// The simulator alone: the exchange's two transfers straight into the locator model.
void BM_SimOnly(benchmark::State& state) {
  vxsim::Locator locator;
  locator.Plug();
  const uint64_t uId = locator.DeviceId();
  uint32_t au32Request[4] = {3, 7, CMD_READ_FLASH_CFI, 3 + 7 + CMD_READ_FLASH_CFI};
  uint32_t au32Response[8] = {};
  uint32_t nMoved = 0;
  int32_t nBad = 0;
  const uint64_t nBefore = AllocationCount();
  for (auto _ : state) {
    nBad += locator.Out(uId, vxsim::kPipeOut, reinterpret_cast<const uint8_t*>(au32Request), sizeof(au32Request),
                        &nMoved, 3000) != vxsim::BusStatus::kOk;
    nBad += locator.In(uId, vxsim::kPipeIn, reinterpret_cast<uint8_t*>(au32Response), sizeof(au32Response),
                       &nMoved, 3000) != vxsim::BusStatus::kOk;
    benchmark::DoNotOptimize(au32Response);
  }
  ReportAllocs(state, nBefore);
  if (nBad != 0) state.SkipWithError("a transfer failed");
}
BENCHMARK(BM_SimOnly);

// A backend with one device whose response is prepared once: the host's path alone.
struct PreparedBus {
  WduBackend backend{"prepared", this, &Open, &Close, &SetInterface, &Transfer};
  uint32_t au32Frame[8] = {7, 0, 'Q', 'R', 'Y', 2, 0, 0};

  PreparedBus() {
    for (int i = 0; i < 7; ++i) au32Frame[7] += au32Frame[i];
  }
  static DWORD Open(void*, const WduSink* pSink) {
    ReportLocatorArrival(*pSink, 1, 9);
    return WD_STATUS_SUCCESS;
  }
  static void Close(void*) {}
  static DWORD SetInterface(void*, uint64_t, DWORD, DWORD) { return WD_STATUS_SUCCESS; }
  static DWORD Transfer(void* pCtx, uint64_t, DWORD, bool bRead, DWORD, uint8_t* pBuffer, DWORD dwBytes,
                        DWORD* pdwMoved, DWORD) {
    auto* self = static_cast<PreparedBus*>(pCtx);
    if (!bRead) {
      *pdwMoved = dwBytes;
      return WD_STATUS_SUCCESS;
    }
    DWORD dwCopy = dwBytes < sizeof(self->au32Frame) ? dwBytes : DWORD(sizeof(self->au32Frame));
    std::memcpy(pBuffer, self->au32Frame, dwCopy);
    *pdwMoved = dwCopy;
    return WD_STATUS_SUCCESS;
  }
};

void BM_TransactHostOnly(benchmark::State& state) {
  PreparedBus bus;
  Session session(&bus.backend);
  TransactLoop(state, session);
}
BENCHMARK(BM_TransactHostOnly);

}  // namespace

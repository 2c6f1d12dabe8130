// The program's entry: standard streams, console and output set-up, then start-up with the
// real calls.
#include <clocale>
#include <new>

#include "app/startup.h"
#include "app/update_loop.h"
#include "usb/usb_message.h"

namespace {

CUsbMessage* CreateChannel() { return new (std::nothrow) CUsbMessage; }

}  // namespace

int main(int argc, char** argv) {
  OsInitStandardStreams();  // before anything opens a file or a link
  ConsoleInit();
  OsUnbufferedStdout();
  std::setlocale(LC_CTYPE, "");

  StartupCalls calls;
  calls.pfnCreateChannel = &CreateChannel;
  calls.ppChannel = &pCUsbMessage;
  calls.pfnOpenChannel = &OpenChannel;
  calls.pfnRunUpdateLoop = &RunUpdateLoop;
  return StartUp(argc, argv, calls);
}

// STAND-IN for the update loop until app/update_loop.cpp is built into vx_app: prints
// nothing and keeps the process alive, as the real loop does. Delete it then.
#include "app/update_loop.h"
#include "platform/os/os.h"

void RunUpdateLoop() {
  for (;;) OsSleep(1000);
}

// The console keyboard and the standard streams on POSIX: keys as Windows' console gives them,
// from a terminal in key mode (restored however the process ends), or a pipe or file (a key a byte).
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "platform/os/os.h"
#include "platform/os/terminal_keys.h"

namespace {

// The terminal settings found at start, restored however the process ends. Written once
// before the handlers are installed, then only read (also from signal handlers).
termios g_tSavedTerminal{};
volatile sig_atomic_t g_bRestoreTerminal = 0;

void RestoreTerminal() {
  if (g_bRestoreTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &g_tSavedTerminal);
}

// Restores the terminal, then ends the process by the signal's default action (the handler
// was installed with SA_RESETHAND; the raised signal is delivered once this returns).
void OnEndingSignal(int nSignal) {
  int nSavedErrno = errno;
  RestoreTerminal();
  raise(nSignal);
  errno = nSavedErrno;
}

void InstallEndingHandler(int nSignal) {
  struct sigaction old {};
  if (sigaction(nSignal, nullptr, &old) != 0) return;
  // An ignored signal does not end the process; a handler of someone else's is kept.
  if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnEndingSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  sigaction(nSignal, &sa, nullptr);
}

// The signals whose default action ends the process (SIGKILL cannot be caught).
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGALRM, SIGUSR1, SIGUSR2,
                                  SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,    SIGXCPU, SIGXFSZ, SIGVTALRM,
                                  SIGPROF, SIGSYS,  SIGTRAP};

#ifdef _POSIX_VDISABLE
constexpr cc_t kDisabledChar = _POSIX_VDISABLE;
#else
constexpr cc_t kDisabledChar = 0;
#endif

// Takes a terminal on standard input into key mode; false when standard input is not one.
bool EnterKeyMode() {
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_tSavedTerminal) != 0) return false;
  g_bRestoreTerminal = 1;
  std::atexit(RestoreTerminal);
  for (int nSignal : kEndingSignals) InstallEndingHandler(nSignal);
  // Keys without a line end and unechoed. As on Windows, Ctrl-C alone ends the program:
  // the other keys the terminal would act on (quit, suspend, flow control, literal next,
  // discard) are keys like any other.
  termios tKeys = g_tSavedTerminal;
  tKeys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  tKeys.c_lflag |= ISIG;
  tKeys.c_iflag &= ~static_cast<tcflag_t>(IXON);
  tKeys.c_cc[VINTR] = 0x03;
  tKeys.c_cc[VQUIT] = kDisabledChar;
  tKeys.c_cc[VSUSP] = kDisabledChar;
#ifdef VDSUSP
  tKeys.c_cc[VDSUSP] = kDisabledChar;
#endif
#ifdef VSTATUS
  tKeys.c_cc[VSTATUS] = kDisabledChar;
#endif
  tKeys.c_cc[VMIN] = 1;
  tKeys.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &tKeys);
  return true;
}

struct Console {
  std::mutex mtx;
  const bool bTerminal = EnterKeyMode();
  bool bEndOfInput = false;
  std::deque<int> keys;  // key codes read by the key test and not yet taken
};

// The console, ready from its first use.
Console& TheConsole() {
  static Console* pConsole = new Console;  // never destroyed: used until the process ends
  return *pConsole;
}

// One byte of input when one is there within nWaitMs (0: only when already there); -1 when
// none is, and at the end of the input.
int ReadByteWithin(Console& c, int nWaitMs) {
  if (c.bEndOfInput) return -1;
  pollfd pfd{STDIN_FILENO, POLLIN, 0};
  int nReady = 0;
  do {
    nReady = poll(&pfd, 1, nWaitMs);
  } while (nReady < 0 && errno == EINTR);
  if (nReady <= 0) return -1;
  if ((pfd.revents & POLLNVAL) != 0) {
    c.bEndOfInput = true;
    return -1;
  }
  if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return -1;
  // Something is there, or the input has ended: one byte tells which, without blocking.
  unsigned char byKey = 0;
  ssize_t n = read(STDIN_FILENO, &byKey, 1);
  if (n == 1) return byKey;
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) c.bEndOfInput = true;
  return -1;
}

// Queues the key codes of the key whose first byte has been read, and of any key whose first
// byte was read while telling where that key ends. Elsewhere than on a terminal every byte is
// a key.
void QueueKey(Console& c, int nFirst) {
  if (!c.bTerminal) {
    c.keys.push_back(nFirst);
    return;
  }
  terminal_keys::DecodeKey(nFirst, [&c](int nWaitMs) { return ReadByteWithin(c, nWaitMs); }, c.keys);
}

}  // namespace

void ConsoleInit() { TheConsole(); }

bool ConsoleKeyWaiting() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.keys.empty()) {
    const int nByte = ReadByteWithin(c, 0);
    if (nByte >= 0) QueueKey(c, nByte);
  }
  return !c.keys.empty();
}

int ConsoleReadKey() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  while (c.keys.empty() && !c.bEndOfInput) {
    const int nByte = ReadByteWithin(c, -1);
    if (nByte >= 0) QueueKey(c, nByte);
  }
  if (c.keys.empty()) return -1;
  const int nKey = c.keys.front();
  c.keys.pop_front();
  return nKey;
}

// ---- Around an attempt ----

// A file given as standard input holds every key from the start: none is typed during an
// attempt.
static bool InputIsFile() {
  struct stat st {};
  return fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode);
}

// The bytes waiting on standard input now (FIONREAD), so that a writer that never stops
// cannot hold the program in a loop over them.
static int WaitingInputBytes() {
  int nWaiting = 0;
  return ioctl(STDIN_FILENO, FIONREAD, &nWaiting) == 0 ? nWaiting : 0;
}

// The keys typed before the attempt are taken in, so that they still start attempts of their
// own; a terminal has no selection mode that holds the program's output.
void ConsoleBeginAttempt() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.bEndOfInput || InputIsFile()) return;
  const int nWaiting = WaitingInputBytes();
  for (int i = 0; i < nWaiting; ++i) {  // every key takes at least one byte
    const int nByte = ReadByteWithin(c, 0);
    if (nByte < 0) break;
    QueueKey(c, nByte);
  }
}

// Drops what was typed while the attempt ran: on a terminal its input queue, on a pipe the
// bytes there now. The keys taken in before the attempt stay.
void ConsoleEndAttempt() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.bEndOfInput || InputIsFile()) return;
  if (c.bTerminal) {
    tcflush(STDIN_FILENO, TCIFLUSH);
    return;
  }
  unsigned char abDiscarded[4096];
  for (int nWaiting = WaitingInputBytes(); nWaiting > 0;) {
    const ssize_t n = read(STDIN_FILENO, abDiscarded, std::min(sizeof abDiscarded, static_cast<size_t>(nWaiting)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    nWaiting -= static_cast<int>(n);
  }
}

// ---- Standard streams ----

void OsInitStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so the null device takes this one.
    const int fdNull = open("/dev/null", O_RDWR);
    if (fdNull >= 0 && fdNull != fd) {
      dup2(fdNull, fd);
      close(fdNull);
    }
  }
  signal(SIGPIPE, SIG_IGN);
}

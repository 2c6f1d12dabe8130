#include "tests/support/child_process.h"

#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

size_t CountOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + needle.size()))
    ++n;
  return n;
}

namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> merged;
  for (char** pp = environ; *pp != nullptr; ++pp) {
    const std::string entry = *pp;
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : extra) merged[key] = value;
  std::vector<std::string> result;
  for (const auto& [key, value] : merged) result.push_back(key + "=" + value);
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) : m_bTerminal(options.bTerminal) {
  std::vector<std::string> argv = options.argv;
  std::vector<std::string> env = MergedEnvironment(options.env);
  std::vector<char*> argvPtrs = Pointers(argv);
  std::vector<char*> envPtrs = Pointers(env);

  // The child starts as from a shell, whatever this process ignores.
  auto DefaultSignals = [] { signal(SIGPIPE, SIG_DFL); };
  if (m_bTerminal) {
    int master = -1;
    struct termios tio {};
    cfmakeraw(&tio);
    tio.c_lflag |= ICANON | ECHO | ISIG;  // a terminal as a shell leaves it
    tio.c_oflag |= OPOST;
    m_pid = forkpty(&master, nullptr, &tio, nullptr);
    if (m_pid == 0) {
      DefaultSignals();
      execve(argvPtrs[0], argvPtrs.data(), envPtrs.data());
      _exit(127);
    }
    m_fdIn = master;
    m_fdOut = master;
  } else {
    int inPipe[2], outPipe[2];
    if (pipe(inPipe) != 0 || pipe(outPipe) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
      dup2(inPipe[0], STDIN_FILENO);
      if (!options.stdoutFile.empty()) {
        const int fd = open(options.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
      } else {
        dup2(outPipe[1], STDOUT_FILENO);
      }
      close(inPipe[0]);
      close(inPipe[1]);
      close(outPipe[0]);
      close(outPipe[1]);
      if (options.bCloseStdin) close(STDIN_FILENO);
      if (options.bCloseStdout) close(STDOUT_FILENO);
      DefaultSignals();
      execve(argvPtrs[0], argvPtrs.data(), envPtrs.data());
      _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    m_fdIn = inPipe[1];
    m_fdOut = outPipe[0];
  }
  if (m_pid > 0) m_reader = std::thread([this] { ReadLoop(); });
}

ChildProcess::~ChildProcess() {
  Stop(SIGKILL, 2000);
  if (m_reader.joinable()) m_reader.join();
  if (m_fdIn >= 0) close(m_fdIn);
  if (m_fdOut >= 0 && m_fdOut != m_fdIn) close(m_fdOut);
}

void ChildProcess::ReadLoop() {
  char buf[4096];
  for (;;) {
    struct pollfd pfd = {m_fdOut, POLLIN, 0};
    const int r = poll(&pfd, 1, 200);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_bReaped) break;
      continue;
    }
    const ssize_t n = read(m_fdOut, buf, sizeof buf);
    if (n <= 0) break;  // end of output (or EIO on a terminal whose child has gone)
    std::lock_guard<std::mutex> lock(m_mutex);
    m_output.append(buf, static_cast<size_t>(n));
    m_cv.notify_all();
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bEof = true;
  m_cv.notify_all();
}

bool ChildProcess::WaitFor(const std::string& text, int timeoutMs, size_t count) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return CountOf(m_output, text) >= count || m_bEof; }) &&
         CountOf(m_output, text) >= count;
}

void ChildProcess::WaitQuiet(int quietMs, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    const size_t before = m_output.size();
    const auto until = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(quietMs));
    m_cv.wait_until(lock, until, [&] { return m_output.size() != before || m_bEof; });
    if (m_output.size() == before || m_bEof || std::chrono::steady_clock::now() >= deadline) return;
  }
}

void ChildProcess::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(m_fdIn, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void ChildProcess::CloseInput() {
  if (m_fdIn >= 0 && m_fdIn != m_fdOut) {
    close(m_fdIn);
    m_fdIn = -1;
  }
}

std::string ChildProcess::Output() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_output;
}

bool ChildProcess::Exited(int* pStatus) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_bReaped && m_pid > 0 && waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_bReaped = true;
  if (m_bReaped && pStatus) *pStatus = m_status;
  return m_bReaped;
}

int ChildProcess::Stop(int signal, int timeoutMs) {
  if (m_pid <= 0) return -1;
  if (Exited(nullptr)) return -1;
  kill(m_pid, signal);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Exited(nullptr)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(m_pid, SIGKILL);
      std::lock_guard<std::mutex> lock(m_mutex);
      waitpid(m_pid, &m_status, 0);
      m_bReaped = true;
      break;
    }
    usleep(10000);
  }
  if (m_reader.joinable()) m_reader.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_status;
}

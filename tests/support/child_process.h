// A child process with its standard input and output on pipes (or a pseudo-terminal),
// for tests and benchmarks that run the real programs. POSIX only.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // added to (or replacing in) the test's own
    bool bTerminal = false;                   // stdin/stdout on a pseudo-terminal
    std::string stdoutFile;                   // when set, stdout goes there instead of a pipe
    bool bCloseStdin = false;                 // started with standard input closed
    bool bCloseStdout = false;                // started with standard output closed
  };

  explicit ChildProcess(const Options& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }
  int TerminalFd() const { return m_bTerminal ? m_fdOut : -1; }

  // Waits until the output holds `text` at least `count` times; false after timeoutMs.
  bool WaitFor(const std::string& text, int timeoutMs, size_t count = 1);
  // Waits until the output stays unchanged for quietMs (at most timeoutMs in all).
  void WaitQuiet(int quietMs, int timeoutMs);
  void Write(const std::string& bytes);
  void CloseInput();
  std::string Output();

  // Sends the signal and waits for the end (SIGKILL after timeoutMs). Returns the wait
  // status, or -1 when the process had already been reaped.
  int Stop(int signal, int timeoutMs = 5000);
  bool Exited(int* pStatus);  // without waiting

 private:
  void ReadLoop();

  pid_t m_pid = -1;
  bool m_bTerminal = false;
  int m_fdIn = -1;
  int m_fdOut = -1;
  bool m_bReaped = false;
  int m_status = 0;
  std::thread m_reader;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::string m_output;
  bool m_bEof = false;
};

size_t CountOf(const std::string& haystack, const std::string& needle);

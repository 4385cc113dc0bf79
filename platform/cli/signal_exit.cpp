#include "signal_exit.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace cli {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

// The write end of the pipe of the ExitOnSignals alive (one at a time).
std::atomic<int> signalPipe{-1};

// Async-signal-safe: one write of one byte.
void onSignal(int signal) {
  const int saved = errno;
  const int fd = signalPipe.load();
  const auto byte = static_cast<unsigned char>(signal);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t put = ::write(fd, &byte, 1);
  }
  errno = saved;
}

// A byte that is no signal: the watcher stops.
constexpr unsigned char kStop = 0;

} // namespace

ExitOnSignals::ExitOnSignals(std::string command,
                             std::vector<std::filesystem::path> temporaries)
    : command_(std::move(command)), temporaries_(std::move(temporaries)) {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create a pipe: ") +
                             std::strerror(errno));
  }
  readEnd_ = common::FileDescriptor(ends[0]);
  writeEnd_ = common::FileDescriptor(ends[1]);
  signalPipe.store(writeEnd_.get());
  watcher_ = std::thread([this] { watch(); });
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : kSignals) {
    ::sigaction(signal, &action, nullptr);
  }
}

ExitOnSignals::~ExitOnSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int signal : kSignals) {
    ::sigaction(signal, &action, nullptr);
  }
  signalPipe.store(-1);
  [[maybe_unused]] const ssize_t put = ::write(writeEnd_.get(), &kStop, 1);
  watcher_.join();
}

void ExitOnSignals::watch() {
  unsigned char signal = kStop;
  ssize_t got = 0;
  do {
    got = ::read(readEnd_.get(), &signal, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1 || signal == kStop) {
    return;
  }
  for (const std::filesystem::path &temporary : temporaries_) {
    if (!temporary.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(temporary, ignored);
    }
  }
  const std::string line = command_ + ": stopped by " +
                           (signal == SIGINT ? "SIGINT" : "SIGTERM") + "\n";
  [[maybe_unused]] const ssize_t put =
      ::write(STDERR_FILENO, line.data(), line.size());
  std::_Exit(128 + signal);
}

} // namespace cli

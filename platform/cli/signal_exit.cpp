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
                             std::filesystem::path temporary)
    : command_(std::move(command)), temporary_(std::move(temporary)) {
  if (::pipe2(pipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create a pipe: ") +
                             std::strerror(errno));
  }
  signalPipe.store(pipe_[1]);
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
  [[maybe_unused]] const ssize_t put = ::write(pipe_[1], &kStop, 1);
  watcher_.join();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void ExitOnSignals::watch() {
  unsigned char signal = kStop;
  ssize_t got = 0;
  do {
    got = ::read(pipe_[0], &signal, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1 || signal == kStop) {
    return;
  }
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(temporary_, ignored);
  }
  const std::string line = command_ + ": stopped by " +
                           (signal == SIGINT ? "SIGINT" : "SIGTERM") + "\n";
  [[maybe_unused]] const ssize_t put =
      ::write(STDERR_FILENO, line.data(), line.size());
  std::_Exit(128 + signal);
}

} // namespace cli

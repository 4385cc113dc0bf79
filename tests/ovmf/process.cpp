#include "process.h"

#include "file_descriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace test_process {
namespace {

std::vector<char *> argvOf(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  for (const std::string &a : args) {
    argv.push_back(const_cast<char *>(a.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// Forks and execs; in the child, stdout and stderr go to `outFd` and the
// working directory is `directory` when given.
pid_t spawn(const std::vector<std::string> &args, int outFd,
            const std::filesystem::path &directory) {
  if (args.empty()) {
    throw std::runtime_error("spawn: expected a program, found none");
  }
  std::vector<char *> argv = argvOf(args);
  const pid_t pid = fork();
  if (pid < 0) {
    throw std::runtime_error("fork: expected a child, found an error");
  }
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(outFd, STDERR_FILENO);
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
    }
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
      _exit(126);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool waitFor(pid_t pid, int &status, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || done < 0) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

} // namespace

Process::Process(const std::vector<std::string> &args,
                 const std::filesystem::path &output) {
  const common::FileDescriptor out(
      open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (out.get() < 0) {
    throw std::runtime_error(output.string() +
                             ": expected a writable log file, found none");
  }
  pid_ = spawn(args, out.get(), {});
}

Process::~Process() { stop(0); }

bool Process::running() {
  if (pid_ < 0) {
    return false;
  }
  const pid_t done = waitpid(pid_, &status_, WNOHANG);
  if (done == 0) {
    return true;
  }
  pid_ = -1;
  return false;
}

int Process::stop(int graceSeconds) {
  if (pid_ < 0) {
    return status_;
  }
  if (!waitFor(pid_, status_, std::chrono::seconds(graceSeconds))) {
    kill(pid_, SIGTERM);
    if (!waitFor(pid_, status_, std::chrono::seconds(5))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
  }
  pid_ = -1;
  return status_;
}

void stopPid(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(comm, name);
  if (name.rfind("qemu-system", 0) == 0) {
    kill(pid, SIGTERM);
  }
}

std::string capture(const std::vector<std::string> &args,
                    const std::filesystem::path &directory,
                    int timeoutSeconds) {
  std::array<int, 2> fds{};
  if (pipe(fds.data()) != 0) {
    throw std::runtime_error("pipe: expected one, found an error");
  }
  common::FileDescriptor readEnd(fds[0]);
  pid_t pid;
  {
    const common::FileDescriptor writeEnd(fds[1]);
    std::vector<std::string> limited = {"timeout", "--kill-after=5",
                                        std::to_string(timeoutSeconds)};
    limited.insert(limited.end(), args.begin(), args.end());
    pid = spawn(limited, writeEnd.get(), directory);
  }
  std::string output;
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t n = read(readEnd.get(), buffer.data(), buffer.size());
    if (n <= 0) {
      break;
    }
    output.append(buffer.data(), static_cast<std::size_t>(n));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return output;
}

} // namespace test_process

// Where the TPM keeps its non-volatile state: the directory the user named,
// or a fresh temporary one that is removed again when this object goes.
//
// A state directory has one owner at a time. Two TPMs on the same files
// would each write back their own copy of the NV and lose what the other
// committed, so whoever opens a directory (boot and serve alike) holds an
// exclusive lock on it for as long as this object lives; the lock goes with
// the process, however it ends.
#pragma once

#include <filesystem>
#include <set>
#include <stdexcept>

namespace platform {

// The directory cannot be used. `misuse` is set when the path itself is the
// fault (it names something that is not a directory), as opposed to a
// directory that is busy or cannot be created.
class StateDirectoryError : public std::runtime_error {
public:
  StateDirectoryError(const std::string &message, bool misuse)
      : std::runtime_error(message), misuse_(misuse) {}
  bool misuse() const { return misuse_; }

private:
  bool misuse_;
};

class StateDirectory {
public:
  // An empty path asks for a temporary directory. Creates the directory if
  // missing and locks it; throws StateDirectoryError when that fails or
  // another process holds it.
  explicit StateDirectory(const std::filesystem::path &requested);
  ~StateDirectory();
  StateDirectory(const StateDirectory &) = delete;
  StateDirectory &operator=(const StateDirectory &) = delete;

  const std::filesystem::path &path() const { return path_; }
  bool temporary() const { return temporary_; }

  // Whether the destructor leaves the file system as it was before this
  // object opened the directory: removes the directory when this object
  // created it (with any parents it created), and otherwise every entry
  // that appeared in it while this object held the lock, the lock file
  // included. For a run that fails to start, which must leave nothing
  // behind; set back once the run has started and its state is worth
  // keeping. A temporary directory goes in any case.
  void undoOnClose(bool undo) { undo_ = undo; }

  // The lock file's name inside the directory.
  static constexpr const char *kLockName = "pei-platform.lock";

private:
  void lock();
  void undo() const;

  std::filesystem::path path_;
  bool temporary_ = false;
  int lockFd_ = -1;
  bool undo_ = false;
  // The outermost directory this object created, empty when the directory
  // existed; then the names of the entries it held, if they could be listed.
  std::filesystem::path created_;
  std::set<std::filesystem::path> before_;
  bool listed_ = false;
  bool createdLock_ = false;
};

} // namespace platform

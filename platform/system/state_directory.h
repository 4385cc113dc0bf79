// Where the TPM keeps its non-volatile state: the directory the user named,
// or a fresh temporary one that is removed again when this object goes.
#pragma once

#include <filesystem>

namespace emu {

class StateDirectory {
public:
  // An empty path asks for a temporary directory.
  explicit StateDirectory(const std::filesystem::path &requested);
  ~StateDirectory();
  StateDirectory(const StateDirectory &) = delete;
  StateDirectory &operator=(const StateDirectory &) = delete;

  const std::filesystem::path &path() const { return path_; }
  bool temporary() const { return temporary_; }

private:
  std::filesystem::path path_;
  bool temporary_ = false;
};

} // namespace emu

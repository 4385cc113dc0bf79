#include "state_directory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace emu {

StateDirectory::StateDirectory(const std::filesystem::path &requested) {
  if (!requested.empty()) {
    path_ = requested;
    std::filesystem::create_directories(path_);
    return;
  }
  std::string pattern =
      (std::filesystem::temp_directory_path() / "pei-platform-tpm-XXXXXX")
          .string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary TPM state directory "
                             "from " +
                             pattern + ": " + std::strerror(errno));
  }
  path_ = buffer.data();
  temporary_ = true;
}

StateDirectory::~StateDirectory() {
  if (temporary_) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

} // namespace emu

// The files a program reads and writes, checked before any work starts: an
// input must be a regular file (a FIFO or a device would block or never
// end), an output must be writable, and no output may be one of the run's
// inputs or another of its outputs.
#pragma once

#include "file_descriptor.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace common {

// Opens `path` for reading when it is a regular file. The open does not
// block (a FIFO with no writer would), and the check is made on what was
// opened, so a file swapped in between cannot slip through. Throws
// UsageError "PATH: not a regular file (...)" or "PATH: cannot open it
// (reason)".
FileDescriptor openRegularFile(const std::filesystem::path &path);

// Reads from `file` until its end or until `most` bytes were read. Throws
// UsageError "PATH: cannot read it (reason)".
std::vector<std::uint8_t> readUpTo(const FileDescriptor &file, std::size_t most,
                                   const std::filesystem::path &path);

// Checks that `path` can be written, the output of `option`: an existing
// regular file or character device (/dev/null) that opens for writing, or
// a new file in an existing directory (created and removed again, so that
// a refused run leaves nothing). Changes no existing file. Throws
// UsageError "OPTION: expected a writable file, found PATH ... (reason)".
void checkWritable(const std::string &option,
                   const std::filesystem::path &path);

// Whether a and b are one file: by filesystem identity when both exist,
// by their normalised absolute paths otherwise. Devices are never one
// file in this sense (two outputs may both be /dev/null).
bool sameFile(const std::filesystem::path &a, const std::filesystem::path &b);

// A file a run reads or writes, and what names it in messages ("the
// image", "--trace-json").
struct RunFile {
  std::string role;
  std::filesystem::path path;
};

// Refuses an output that is one of the inputs or another output: throws
// UsageError "OUTPUT: expected a file other than ROLE, found PATH".
void checkDistinct(std::span<const RunFile> inputs,
                   std::span<const RunFile> outputs);

} // namespace common

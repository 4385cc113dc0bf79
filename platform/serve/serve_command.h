// `pei-platform serve`: the TPM simulator endpoint on the real firmware
// path. Takes the arguments after "serve" and returns the exit status.
#pragma once

#include <span>
#include <string>

namespace serve {

int runServe(std::span<const std::string> args);

} // namespace serve

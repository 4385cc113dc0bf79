// The symbol files the GDB stub hands to GDB, written as ELF32 files.
//
// GDB reads the debug companion (a PE32) poorly: its reader for the format
// sign-extends the DWARF's 32-bit addresses, so code linked near the top of
// the address space (the module in flash) has no line information at its
// real addresses; it takes the decorated names of the file's symbol table
// for the routines' names; and it cannot place a PE file's first byte, only
// its first section. The stub therefore gives GDB the companion's sections
// and DWARF (call-frame information included) in an ELF32 file, whose
// addresses GDB takes as they are, with one loadable segment from the
// image's first byte, and a symbol table made from the DWARF: routines and
// variables by their source names. The DWARF itself is adjusted where GDB
// would misread it (see symbol_files.cpp): decorated linkage names hidden,
// stack arguments described from the canonical frame address.
//
// The platform's own code (the return sentinel, the thunks of the PEI
// services and of the platform's PPIs) gets an ELF32 file of its own: a
// symbol per thunk, and call-frame information that says where a backtrace
// ends (at the return sentinel, where the platform called the module).
#pragma once

#include "pe_image.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace debug {

class SymbolFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The companion's sections at their link addresses, in a file whose one
// segment starts at `imageBase` (the image's link base, as the loader
// places it). Throws SymbolFileError when a loaded section lies below
// imageBase or a section's name cannot be read.
std::vector<std::uint8_t> moduleSymbolFile(const pei::PeImage &companion,
                                           std::uint32_t imageBase);

struct NamedAddress {
  std::uint32_t address;
  std::uint32_t size;
  std::string name;
};

// The page of platform code [base, base + size): `symbols` name its pieces,
// and a backtrace ends in each of `outermost` (addresses where the guest
// returns to the platform); every other address is a routine's entry, with
// the return address on top of the stack.
std::vector<std::uint8_t>
platformSymbolFile(std::uint32_t base, std::uint32_t size,
                   std::span<const NamedAddress> symbols,
                   std::span<const NamedAddress> outermost);

// A symbol name GDB can show and a user can type: the thunk's name with
// every character that cannot stand in an identifier replaced by '_'.
std::string symbolName(const std::string &name);

} // namespace debug

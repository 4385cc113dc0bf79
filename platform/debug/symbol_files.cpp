#include "symbol_files.h"

#include "hex.h"
#include "little_endian.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

namespace debug {

namespace {

// ELF32 for IA-32, as the System V ABI lays it out.
constexpr std::uint32_t kHeaderSize = 52;
constexpr std::uint32_t kProgramHeaderSize = 32;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint16_t kTypeExecutable = 2;
constexpr std::uint16_t kMachine386 = 3;
constexpr std::uint32_t kLoad = 1;
constexpr std::uint32_t kProgbits = 1, kSymtab = 2, kStrtab = 3;
constexpr std::uint32_t kWrite = 1, kAlloc = 2, kExec = 4;

struct Section {
  std::string name;
  std::uint32_t type = kProgbits;
  std::uint32_t flags = 0;
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
  std::uint32_t link = 0;
  std::uint32_t info = 0;
  std::uint32_t entrySize = 0;
  std::optional<std::uint32_t> offset; // where the file must hold it
};

Section section(std::string name, std::uint32_t type,
                std::vector<std::uint8_t> bytes) {
  Section made;
  made.name = std::move(name);
  made.type = type;
  made.bytes = std::move(bytes);
  return made;
}

struct Segment {
  std::uint32_t address;
  std::uint32_t offset;
  std::uint32_t size;
  std::uint32_t flags; // PF_X 1, PF_W 2, PF_R 4
};

// Where section data starts in a file with `segments` program headers.
constexpr std::uint32_t dataStart(std::size_t segments) {
  return (kHeaderSize +
          kProgramHeaderSize * static_cast<std::uint32_t>(segments) + 15) &
         ~15u;
}

void put16(std::vector<std::uint8_t> &out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t> &out, std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

// Lays the sections out after the headers, each where it asks to be or at
// the next 4-byte boundary, then the section name table and the section
// headers; index 0 is the null section ELF requires.
std::vector<std::uint8_t> writeElf(std::vector<Section> sections,
                                   const std::vector<Segment> &segments) {
  sections.push_back(section(".shstrtab", kStrtab, {0}));
  std::vector<std::uint32_t> nameAt;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    std::vector<std::uint8_t> &table = sections.back().bytes;
    nameAt.push_back(static_cast<std::uint32_t>(table.size()));
    const std::string name = sections[i].name;
    table.insert(table.end(), name.begin(), name.end());
    table.push_back(0);
  }

  std::vector<std::uint8_t> data(dataStart(segments.size()), 0);
  std::vector<std::uint32_t> offsets;
  for (const Section &placed : sections) {
    std::uint32_t at = (static_cast<std::uint32_t>(data.size()) + 3) & ~3u;
    if (placed.offset) {
      if (*placed.offset < data.size()) {
        throw SymbolFileError("section " + placed.name +
                              " overlaps the one before it");
      }
      at = *placed.offset;
    }
    data.resize(at, 0);
    data.insert(data.end(), placed.bytes.begin(), placed.bytes.end());
    offsets.push_back(at);
  }
  data.resize((data.size() + 3) & ~3u, 0);
  const auto sectionTable = static_cast<std::uint32_t>(data.size());

  std::vector<std::uint8_t> header = {
      0x7F, 'E', 'L', 'F', 1 /* 32-bit */, 1 /* little-endian */,
      1 /* version */};
  header.resize(16, 0);
  put16(header, kTypeExecutable);
  put16(header, kMachine386);
  put32(header, 1);
  put32(header, 0); // entry: none (GDB does not run this file)
  put32(header, segments.empty() ? 0 : kHeaderSize);
  put32(header, sectionTable);
  put32(header, 0);
  put16(header, kHeaderSize);
  put16(header, kProgramHeaderSize);
  put16(header, static_cast<std::uint32_t>(segments.size()));
  put16(header, kSectionHeaderSize);
  put16(header, static_cast<std::uint32_t>(sections.size() + 1));
  put16(header, static_cast<std::uint32_t>(sections.size())); // .shstrtab
  for (const Segment &segment : segments) {
    put32(header, kLoad);
    put32(header, segment.offset);
    put32(header, segment.address);
    put32(header, segment.address);
    put32(header, segment.size);
    put32(header, segment.size);
    put32(header, segment.flags);
    put32(header, 1);
  }
  std::copy(header.begin(), header.end(), data.begin());

  data.resize(data.size() + kSectionHeaderSize, 0); // the null section
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section &described = sections[i];
    put32(data, nameAt[i]);
    put32(data, described.type);
    put32(data, described.flags);
    put32(data, described.address);
    put32(data, offsets[i]);
    put32(data, static_cast<std::uint32_t>(described.bytes.size()));
    put32(data, described.link);
    put32(data, described.info);
    put32(data, described.flags & kAlloc ? 4 : 1);
    put32(data, described.entrySize);
  }
  return data;
}

// A section's name: short names stand in its header, longer ones (the
// DWARF sections') in the COFF string table, as "/<offset>".
std::string sectionName(const pei::PeImage &image, const std::string &name) {
  if (!name.starts_with("/")) {
    return name;
  }
  const std::vector<std::uint8_t> &file = image.bytes();
  std::uint32_t offset = 0;
  for (char c : name.substr(1)) {
    if (c < '0' || c > '9' || offset > 0xFFFFFF) {
      throw SymbolFileError("expected a string table offset after '/' in the "
                            "section name \"" +
                            name + "\"");
    }
    offset = offset * 10 + static_cast<std::uint32_t>(c - '0');
  }
  // The COFF header follows the PE signature; its symbol table pointer and
  // count tell where the string table starts.
  const std::uint32_t coff =
      file.size() >= 64 ? common::le::load32(file, 60) + 4 : 0;
  if (image.isTe() || coff == 4 || coff + 20 > file.size()) {
    throw SymbolFileError("section \"" + name +
                          "\": expected a PE32 file with a string table");
  }
  const std::uint64_t table =
      std::uint64_t{common::le::load32(file, coff + 8)} +
      std::uint64_t{common::le::load32(file, coff + 12)} * 18;
  const std::uint64_t at = table + offset;
  if (at >= file.size()) {
    throw SymbolFileError("section \"" + name +
                          "\": its name lies at file "
                          "offset " +
                          std::to_string(at) + ", past the file's end (" +
                          std::to_string(file.size()) + " bytes)");
  }
  const auto begin = file.begin() + static_cast<std::ptrdiff_t>(at);
  const auto end = std::find(begin, file.end(), std::uint8_t{0});
  return std::string(begin, end);
}

void putUleb(std::vector<std::uint8_t> &out, std::uint32_t value) {
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    out.push_back(value != 0 ? (byte | 0x80) : byte);
  } while (value != 0);
}

// One .debug_frame entry: its length, then `body`, padded with DW_CFA_nop.
void putFrameEntry(std::vector<std::uint8_t> &out,
                   std::vector<std::uint8_t> body) {
  while ((body.size() + 4) % 4 != 0) {
    body.push_back(0); // DW_CFA_nop
  }
  put32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
}

std::uint32_t takeUleb(std::span<const std::uint8_t> bytes, std::size_t &at) {
  std::uint32_t value = 0;
  for (unsigned shift = 0; at < bytes.size(); shift += 7) {
    const std::uint8_t byte = bytes[at++];
    if (shift < 32) {
      value |= static_cast<std::uint32_t>(byte & 0x7F) << shift;
    }
    if ((byte & 0x80) == 0) {
      return value;
    }
  }
  throw SymbolFileError(".debug_abbrev: a number runs past the section's end");
}

// The compiler keeps the decorated (Windows) names of inlined routines as
// their DW_AT_linkage_name, which GDB prefers to DW_AT_name and cannot
// demangle. In the abbreviations those attributes become DW_AT_description
// (one byte in either case, of the same form, so .debug_info reads as
// before), which GDB does not show: it then names every routine by its
// source name.
void hideLinkageNames(std::vector<std::uint8_t> &abbreviations) {
  constexpr std::uint8_t kLinkageName = 0x6E, kDescription = 0x5A;
  std::size_t at = 0;
  while (at < abbreviations.size()) {
    if (takeUleb(abbreviations, at) == 0) {
      continue; // the end of one unit's table
    }
    takeUleb(abbreviations, at); // tag
    ++at;                        // children
    while (true) {
      const std::size_t attributeAt = at;
      const std::uint32_t attribute = takeUleb(abbreviations, at);
      const std::uint32_t form = takeUleb(abbreviations, at);
      if (attribute == 0 && form == 0) {
        break;
      }
      if (attribute == kLinkageName) {
        abbreviations[attributeAt] = kDescription;
      }
      if (form == 0x21) { // DW_FORM_implicit_const carries its value here
        takeUleb(abbreviations, at);
      }
    }
  }
}

std::int32_t takeSleb(std::span<const std::uint8_t> bytes, std::size_t &at) {
  std::int64_t value = 0;
  unsigned shift = 0;
  std::uint8_t byte = 0x80;
  while ((byte & 0x80) != 0) {
    if (at >= bytes.size() || shift > 35) {
      throw SymbolFileError("a DWARF number runs past its section's end");
    }
    byte = bytes[at++];
    value |= static_cast<std::int64_t>(byte & 0x7F) << shift;
    shift += 7;
  }
  if ((byte & 0x40) != 0 && shift < 64) {
    value -= std::int64_t{1} << shift;
  }
  return static_cast<std::int32_t>(value);
}

std::vector<std::uint8_t> sleb(std::int32_t value) {
  std::vector<std::uint8_t> out;
  while (true) {
    const auto byte = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
    if ((value == 0 && (byte & 0x40) == 0) ||
        (value == -1 && (byte & 0x40) != 0)) {
      out.push_back(byte);
      return out;
    }
    out.push_back(byte | 0x80);
  }
}

struct Abbreviation {
  std::uint32_t tag = 0;
  bool children = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> attributes; // form
};

std::map<std::uint32_t, Abbreviation>
abbreviationsAt(std::span<const std::uint8_t> table, std::size_t at) {
  std::map<std::uint32_t, Abbreviation> codes;
  while (true) {
    const std::uint32_t code = takeUleb(table, at);
    if (code == 0) {
      return codes;
    }
    Abbreviation &entry = codes[code];
    entry.tag = takeUleb(table, at);
    if (at >= table.size()) {
      throw SymbolFileError(".debug_abbrev ends inside an abbreviation");
    }
    entry.children = table[at++] != 0;
    while (true) {
      const std::uint32_t attribute = takeUleb(table, at);
      const std::uint32_t form = takeUleb(table, at);
      if (attribute == 0 && form == 0) {
        break;
      }
      if (form == 0x21) {
        takeSleb(table, at); // DW_FORM_implicit_const: no bytes in the DIE
      }
      entry.attributes.emplace_back(attribute, form);
    }
  }
}

// The bytes of one attribute's value in .debug_info (DWARF 2 to 4, 32-bit
// offsets and addresses): where its block starts when it has one.
struct Value {
  std::size_t block = 0;       // offset of the block's bytes
  std::size_t blockLength = 0; // 0 without a block
  std::uint64_t number = 0;
};

Value skipValue(std::span<const std::uint8_t> info, std::size_t &at,
                std::uint32_t form) {
  auto need = [&](std::size_t bytes) {
    if (bytes > info.size() - std::min(at, info.size())) {
      throw SymbolFileError(".debug_info ends inside a value");
    }
  };
  auto fixed = [&](std::size_t bytes) {
    need(bytes);
    Value value;
    for (std::size_t i = 0; i < bytes && i < 8; ++i) {
      value.number |= std::uint64_t{info[at + i]} << (8 * i);
    }
    at += bytes;
    return value;
  };
  auto block = [&](std::size_t length) {
    need(length);
    Value value{at, length, 0};
    at += length;
    return value;
  };
  switch (form) {
  case 0x01: // addr
  case 0x06: // data4
  case 0x0E: // strp
  case 0x10: // ref_addr
  case 0x13: // ref4
  case 0x17: // sec_offset
    return fixed(4);
  case 0x05: // data2
  case 0x12: // ref2
    return fixed(2);
  case 0x0B: // data1
  case 0x0C: // flag
  case 0x11: // ref1
    return fixed(1);
  case 0x07: // data8
  case 0x14: // ref8
  case 0x20: // ref_sig8
    return fixed(8);
  case 0x0D: // sdata
    return {0, 0, static_cast<std::uint64_t>(takeSleb(info, at))};
  case 0x0F: // udata
  case 0x15: // ref_udata
    return {0, 0, takeUleb(info, at)};
  case 0x08: { // string
    while (true) {
      need(1);
      if (info[at++] == 0) {
        return {};
      }
    }
  }
  case 0x03:
    return block(fixed(2).number);
  case 0x04:
    return block(fixed(4).number);
  case 0x0A:
    return block(fixed(1).number);
  case 0x09: // block
  case 0x18: // exprloc
    return block(takeUleb(info, at));
  case 0x16: // indirect
    return skipValue(info, at, takeUleb(info, at));
  case 0x19: // flag_present
  case 0x21: // implicit_const
    return {};
  default:
    throw SymbolFileError(".debug_info: a value of the unknown form " +
                          common::hex(form));
  }
}

// The compiler describes the stack arguments and variables of a routine
// without a frame pointer relative to ESP as it stands after the routine's
// prologue (DW_AT_frame_base DW_OP_reg4), which holds neither before the
// prologue has run (a breakpoint on the routine's first instruction shows
// the arguments from the wrong slots) nor while arguments for a call are
// pushed. Each such routine's frame base becomes the canonical frame
// address its call-frame information gives at every instruction
// (DW_OP_call_frame_cfa), and each DW_OP_fbreg offset is moved by the
// distance from that address to ESP after the prologue: the return address
// and every push and stack allocation the routine begins with. The new
// offsets take no more bytes than the old ones (DW_OP_nop fills the rest),
// so no other offset in .debug_info moves; a routine whose offsets would
// not fit keeps its description.
void describeFramesByCfa(std::vector<std::uint8_t> &info,
                         std::span<const std::uint8_t> abbreviations,
                         std::uint32_t codeAddress,
                         std::span<const std::uint8_t> code) {
  constexpr std::uint8_t kFbreg = 0x91, kCallFrameCfa = 0x9C, kNop = 0x96;
  constexpr std::uint8_t kEsp = 0x54; // DW_OP_reg4
  // How far the canonical frame address lies above ESP once the prologue
  // that starts at `address` has run.
  auto prologueDepth = [&](std::uint32_t address) -> std::optional<int> {
    if (address < codeAddress || address - codeAddress >= code.size()) {
      return std::nullopt;
    }
    std::size_t at = address - codeAddress;
    int depth = 4; // the return address
    while (at < code.size()) {
      const std::uint8_t op = code[at];
      if (op >= 0x50 && op <= 0x57) { // push r32
        depth += 4;
        at += 1;
      } else if (op == 0x83 && at + 2 < code.size() && code[at + 1] == 0xEC) {
        depth += static_cast<std::int8_t>(code[at + 2]); // sub esp, imm8
        at += 3;
      } else if (op == 0x81 && at + 5 < code.size() && code[at + 1] == 0xEC) {
        depth += static_cast<std::int32_t>(common::le::load32(code, at + 2));
        at += 6;
      } else {
        break;
      }
    }
    return depth;
  };

  struct Routine {
    std::size_t depth;     // its DIE's nesting depth
    std::size_t frameBase; // offset of its one-byte frame base expression
    int cfaDepth;
    bool fits = true;
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> edits;
  };
  std::vector<std::uint8_t> out = info;
  std::size_t unit = 0;
  while (unit + 11 <= info.size()) {
    const std::uint32_t length = common::le::load32(info, unit);
    const std::size_t end = unit + 4 + length;
    if (length >= 0xFFFFFFF0u || end > info.size()) {
      throw SymbolFileError(".debug_info: a unit runs past the section");
    }
    const auto codes =
        abbreviationsAt(abbreviations, common::le::load32(info, unit + 6));
    std::size_t at = unit + 11;
    std::size_t depth = 0;
    std::optional<Routine> routine;
    const std::span<const std::uint8_t> unitBytes(info.data(), end);
    while (at < end) {
      const std::uint32_t number = takeUleb(unitBytes, at);
      if (number == 0) {
        if (depth > 0) {
          --depth;
        }
        if (routine && depth == routine->depth) {
          if (routine->fits) {
            out[routine->frameBase] = kCallFrameCfa;
            for (const auto &[where, bytes] : routine->edits) {
              std::copy(bytes.begin(), bytes.end(), out.begin() + where);
            }
          }
          routine.reset();
        }
        continue;
      }
      const auto found = codes.find(number);
      if (found == codes.end()) {
        throw SymbolFileError(".debug_info: an unknown abbreviation");
      }
      const Abbreviation &entry = found->second;
      std::optional<std::uint32_t> lowPc;
      std::optional<Value> frameBase;
      for (const auto &[attribute, form] : entry.attributes) {
        const Value value = skipValue(unitBytes, at, form);
        if (attribute == 0x11 && form == 0x01) { // DW_AT_low_pc
          lowPc = static_cast<std::uint32_t>(value.number);
        } else if (attribute == 0x40 && value.blockLength == 1 &&
                   info[value.block] == kEsp) { // DW_AT_frame_base
          frameBase = value;
        } else if (attribute == 0x02 && routine && value.blockLength > 1 &&
                   info[value.block] == kFbreg) { // DW_AT_location
          std::size_t operand = value.block + 1;
          const std::int32_t offset = takeSleb(unitBytes, operand);
          std::vector<std::uint8_t> moved = sleb(offset - routine->cfaDepth);
          const std::size_t room = operand - (value.block + 1);
          if (moved.size() > room) {
            routine->fits = false;
          } else {
            moved.resize(room, kNop);
            routine->edits.emplace_back(value.block + 1, std::move(moved));
          }
        }
      }
      if (entry.tag == 0x2E && frameBase && lowPc && entry.children &&
          !routine) { // DW_TAG_subprogram
        if (const auto cfaDepth = prologueDepth(*lowPc)) {
          routine = Routine{depth, frameBase->block, *cfaDepth, true, {}};
        }
      } else if (entry.tag == 0x2E && frameBase && lowPc && !entry.children) {
        if (prologueDepth(*lowPc)) {
          out[frameBase->block] = kCallFrameCfa; // nothing refers to it
        }
      }
      if (entry.children) {
        ++depth;
      }
    }
    unit = end;
  }
  info = std::move(out);
}

struct DwarfSymbol {
  std::string name;
  std::uint32_t address;
  std::uint32_t size;
  bool function;
};

// The routines with code of their own and the variables at fixed addresses
// that the DWARF describes, by their source names, for the file's symbol
// table: GDB names addresses from a symbol table (info symbol, x/i), and
// takes an address in a data symbol for data, where without one it looks
// for a variable's address among the routines and warns that it is in no
// routine.
std::vector<DwarfSymbol>
dwarfSymbols(std::span<const std::uint8_t> info,
             std::span<const std::uint8_t> abbreviations,
             std::span<const std::uint8_t> strings) {
  std::vector<DwarfSymbol> symbols;
  std::size_t unit = 0;
  while (unit + 11 <= info.size()) {
    const std::uint32_t length = common::le::load32(info, unit);
    const std::size_t end = unit + 4 + length;
    if (length >= 0xFFFFFFF0u || end > info.size()) {
      throw SymbolFileError(".debug_info: a unit runs past the section");
    }
    const auto codes =
        abbreviationsAt(abbreviations, common::le::load32(info, unit + 6));
    const std::span<const std::uint8_t> unitBytes(info.data(), end);
    auto text = [&](std::uint32_t form, const Value &value,
                    std::size_t start) -> std::string {
      if (form == 0x0E && value.number < strings.size()) { // strp
        const auto from =
            strings.begin() + static_cast<std::ptrdiff_t>(value.number);
        return std::string(from,
                           std::find(from, strings.end(), std::uint8_t{0}));
      }
      if (form == 0x08) { // string: the bytes up to the value's end
        const auto from = info.begin() + static_cast<std::ptrdiff_t>(start);
        return std::string(from, std::find(from, info.end(), std::uint8_t{0}));
      }
      return {};
    };
    // The name of the DIE at `at`, or of the one it completes.
    std::function<std::string(std::size_t, int)> nameAt =
        [&](std::size_t at, int hops) -> std::string {
      const auto found = codes.find(takeUleb(unitBytes, at));
      if (found == codes.end() || hops > 4) {
        return {};
      }
      std::optional<std::size_t> origin;
      for (const auto &[attribute, form] : found->second.attributes) {
        const std::size_t start = at;
        const Value value = skipValue(unitBytes, at, form);
        if (attribute == 0x03) { // DW_AT_name
          return text(form, value, start);
        }
        if ((attribute == 0x31 || attribute == 0x47) && // origin, specification
            (form == 0x13 || form == 0x10)) {
          origin = form == 0x13 ? unit + value.number : value.number;
        }
      }
      return origin && *origin < end ? nameAt(*origin, hops + 1)
                                     : std::string();
    };
    std::size_t at = unit + 11;
    while (at < end) {
      const std::size_t die = at;
      const std::uint32_t number = takeUleb(unitBytes, at);
      if (number == 0) {
        continue;
      }
      const auto found = codes.find(number);
      if (found == codes.end()) {
        throw SymbolFileError(".debug_info: an unknown abbreviation");
      }
      const Abbreviation &entry = found->second;
      std::optional<std::uint32_t> low, address;
      std::optional<std::uint64_t> high;
      bool highIsSize = false;
      for (const auto &[attribute, form] : entry.attributes) {
        const Value value = skipValue(unitBytes, at, form);
        if (attribute == 0x11 && form == 0x01) {
          low = static_cast<std::uint32_t>(value.number);
        } else if (attribute == 0x12) { // DW_AT_high_pc
          high = value.number;
          highIsSize = form != 0x01;
        } else if (attribute == 0x02 && value.blockLength == 5 &&
                   info[value.block] == 0x03) { // DW_OP_addr
          address = common::le::load32(info, value.block + 1);
        }
      }
      const bool routine = entry.tag == 0x2E && low && high;
      const bool variable = entry.tag == 0x34 && address; // DW_TAG_variable
      if (routine || variable) {
        std::string name = nameAt(die, 0);
        if (!name.empty()) {
          const std::uint32_t start = routine ? *low : *address;
          const auto size =
              static_cast<std::uint32_t>(!routine     ? 0
                                         : highIsSize ? *high
                                                      : *high - *low);
          symbols.push_back({std::move(name), start, size, routine});
        }
      }
    }
    unit = end;
  }
  return symbols;
}

} // namespace

std::vector<std::uint8_t> moduleSymbolFile(const pei::PeImage &companion,
                                           std::uint32_t imageBase) {
  std::vector<Section> loaded, described;
  const std::uint32_t start = dataStart(1);
  std::uint32_t end = 0;
  const std::vector<std::uint8_t> &file = companion.bytes();
  for (const pei::PeSection &pe : companion.sections()) {
    const std::string name = sectionName(companion, pe.name);
    const std::uint32_t address = companion.imageBase() + pe.virtualAddress;
    const std::uint32_t stored = std::min(pe.virtualSize, pe.rawSize);
    if (pe.rawOffset > file.size() || stored > file.size() - pe.rawOffset) {
      throw SymbolFileError("section " + name + " lies past the file's end");
    }
    const auto from = file.begin() + pe.rawOffset;
    Section part = section(name, kProgbits, {from, from + stored});
    if (name.starts_with(".debug")) {
      if (name == ".debug_abbrev") {
        hideLinkageNames(part.bytes);
      }
      described.push_back(std::move(part));
      continue;
    }
    if (address < imageBase) {
      throw SymbolFileError(
          "section " + name + " lies at " + common::hex(address, 8) +
          ", below the image's base " + common::hex(imageBase, 8));
    }
    part.bytes.resize(pe.virtualSize, 0);
    part.flags =
        kAlloc | (pe.executable() ? kExec : 0) | (pe.writable() ? kWrite : 0);
    part.address = address;
    part.offset = start + (address - imageBase);
    end = std::max(end, address - imageBase + pe.virtualSize);
    loaded.push_back(std::move(part));
  }
  std::ranges::sort(loaded, {}, &Section::address);
  // Frame bases by the call-frame information, when the file has both.
  const auto named = [&](std::vector<Section> &in, const std::string &name) {
    const auto it = std::ranges::find(in, name, &Section::name);
    return it == in.end() ? nullptr : &*it;
  };
  Section *info = named(described, ".debug_info");
  const Section *abbreviations = named(described, ".debug_abbrev");
  const Section *frames = named(described, ".debug_frame");
  const Section *text = nullptr;
  for (const Section &part : loaded) {
    if ((part.flags & kExec) != 0) {
      text = &part;
    }
  }
  if (info != nullptr && abbreviations != nullptr && frames != nullptr &&
      text != nullptr) {
    // A description it cannot read is left as the compiler wrote it.
    try {
      describeFramesByCfa(info->bytes, abbreviations->bytes, text->address,
                          text->bytes);
    } catch (const SymbolFileError &) {
    }
  }
  const Section *strings = named(described, ".debug_str");
  std::vector<DwarfSymbol> symbols;
  if (info != nullptr && abbreviations != nullptr && strings != nullptr) {
    try {
      symbols = dwarfSymbols(info->bytes, abbreviations->bytes, strings->bytes);
    } catch (const SymbolFileError &) {
      symbols.clear(); // GDB still has the DWARF
    }
  }
  std::vector<std::uint8_t> table(16, 0), names{0}; // the null symbol
  for (const DwarfSymbol &symbol : symbols) {
    const auto in = std::ranges::find_if(loaded, [&](const Section &part) {
      return symbol.address >= part.address &&
             symbol.address - part.address < part.bytes.size();
    });
    if (in == loaded.end()) {
      continue;
    }
    put32(table, static_cast<std::uint32_t>(names.size()));
    put32(table, symbol.address);
    put32(table, symbol.size);
    table.push_back(symbol.function ? 0x12 : 0x11); // global function, object
    table.push_back(0);
    put16(table, static_cast<std::uint32_t>(in - loaded.begin() + 1));
    names.insert(names.end(), symbol.name.begin(), symbol.name.end());
    names.push_back(0);
  }
  loaded.insert(loaded.end(), std::make_move_iterator(described.begin()),
                std::make_move_iterator(described.end()));
  Section symbolTable = section(".symtab", kSymtab, std::move(table));
  symbolTable.link = static_cast<std::uint32_t>(loaded.size() + 2);
  symbolTable.info = 1; // the first global symbol
  symbolTable.entrySize = 16;
  loaded.push_back(std::move(symbolTable));
  loaded.push_back(section(".strtab", kStrtab, std::move(names)));
  return writeElf(std::move(loaded), {{imageBase, start, end, 5}});
}

std::vector<std::uint8_t>
platformSymbolFile(std::uint32_t base, std::uint32_t size,
                   std::span<const NamedAddress> symbols,
                   std::span<const NamedAddress> outermost) {
  const std::uint32_t start = dataStart(1);
  // The page's bytes as GDB reads them from the target; the file's are
  // only a stand-in (INT3).
  Section code =
      section(".text", kProgbits, std::vector<std::uint8_t>(size, 0xCC));
  code.flags = kAlloc | kExec;
  code.address = base;
  code.offset = start;
  // The call-frame information: a routine's entry has the return address on
  // top of the stack (the common entry's rule); where the guest returns to
  // the platform, the return address is undefined, which ends a backtrace.
  std::vector<std::uint8_t> frames;
  putFrameEntry(frames, {0xFF, 0xFF, 0xFF, 0xFF, // a CIE
                         1,                      // version
                         0,                      // no augmentation
                         1,                      // code alignment
                         0x7C,                   // data alignment -4
                         8,                      // return address: EIP
                         0x0C, 4, 4,             // CFA = ESP + 4
                         0x88, 1});              // EIP at CFA - 4
  auto fde = [&](const NamedAddress &piece, bool last) {
    std::vector<std::uint8_t> body;
    put32(body, 0); // the CIE at offset 0
    put32(body, piece.address);
    put32(body, piece.size);
    if (last) {
      body.push_back(0x07); // DW_CFA_undefined EIP
      putUleb(body, 8);
    }
    putFrameEntry(frames, std::move(body));
  };
  for (const NamedAddress &piece : outermost) {
    fde(piece, true);
  }
  std::vector<std::uint8_t> names{0};
  std::vector<std::uint8_t> table(16, 0); // the null symbol
  for (const NamedAddress &symbol : symbols) {
    if (std::ranges::none_of(outermost, [&](const NamedAddress &end) {
          return end.address == symbol.address;
        })) {
      fde(symbol, false);
    }
    put32(table, static_cast<std::uint32_t>(names.size()));
    put32(table, symbol.address);
    put32(table, symbol.size);
    table.push_back(0x12); // global function
    table.push_back(0);
    put16(table, 1); // in .text
    const std::string name = symbolName(symbol.name);
    names.insert(names.end(), name.begin(), name.end());
    names.push_back(0);
  }
  std::vector<Section> sections;
  sections.push_back(std::move(code));
  sections.push_back(section(".debug_frame", kProgbits, std::move(frames)));
  Section symbolTable = section(".symtab", kSymtab, std::move(table));
  symbolTable.link = 4; // .strtab
  symbolTable.info = 1; // the first global symbol
  symbolTable.entrySize = 16;
  sections.push_back(std::move(symbolTable));
  sections.push_back(section(".strtab", kStrtab, std::move(names)));
  return writeElf(std::move(sections), {{base, start, size, 5}});
}

std::string symbolName(const std::string &name) {
  std::string out = name;
  for (char &c : out) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '_';
    if (!word) {
      c = '_';
    }
  }
  return out;
}

} // namespace debug

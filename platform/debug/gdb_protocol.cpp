#include "gdb_protocol.h"

#include "little_endian.h"
#include "number.h"

#include <array>

namespace debug::gdb {

// The registers GDB's IA-32 support expects, in its numbering.
const char *const kTargetXml = R"(<?xml version="1.0"?>
<!DOCTYPE target SYSTEM "gdb-target.dtd">
<target version="1.0">
  <architecture>i386</architecture>
  <feature name="org.gnu.gdb.i386.core">
    <reg name="eax" bitsize="32" type="int32" regnum="0"/>
    <reg name="ecx" bitsize="32" type="int32"/>
    <reg name="edx" bitsize="32" type="int32"/>
    <reg name="ebx" bitsize="32" type="int32"/>
    <reg name="esp" bitsize="32" type="data_ptr"/>
    <reg name="ebp" bitsize="32" type="data_ptr"/>
    <reg name="esi" bitsize="32" type="int32"/>
    <reg name="edi" bitsize="32" type="int32"/>
    <reg name="eip" bitsize="32" type="code_ptr"/>
    <reg name="eflags" bitsize="32" type="int32"/>
    <reg name="cs" bitsize="32" type="int32"/>
    <reg name="ss" bitsize="32" type="int32"/>
    <reg name="ds" bitsize="32" type="int32"/>
    <reg name="es" bitsize="32" type="int32"/>
    <reg name="fs" bitsize="32" type="int32"/>
    <reg name="gs" bitsize="32" type="int32"/>
    <reg name="st0" bitsize="80" type="i387_ext"/>
    <reg name="st1" bitsize="80" type="i387_ext"/>
    <reg name="st2" bitsize="80" type="i387_ext"/>
    <reg name="st3" bitsize="80" type="i387_ext"/>
    <reg name="st4" bitsize="80" type="i387_ext"/>
    <reg name="st5" bitsize="80" type="i387_ext"/>
    <reg name="st6" bitsize="80" type="i387_ext"/>
    <reg name="st7" bitsize="80" type="i387_ext"/>
    <reg name="fctrl" bitsize="32" type="int" group="float"/>
    <reg name="fstat" bitsize="32" type="int" group="float"/>
    <reg name="ftag" bitsize="32" type="int" group="float"/>
    <reg name="fiseg" bitsize="32" type="int" group="float"/>
    <reg name="fioff" bitsize="32" type="int" group="float"/>
    <reg name="foseg" bitsize="32" type="int" group="float"/>
    <reg name="fooff" bitsize="32" type="int" group="float"/>
    <reg name="fop" bitsize="32" type="int" group="float"/>
  </feature>
</target>
)";

std::string hexByte(std::uint8_t byte) {
  static constexpr char digits[] = "0123456789abcdef";
  return {digits[byte >> 4], digits[byte & 0xF]};
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += hexByte(byte);
  }
  return text;
}

// A 32-bit value in target (little-endian) byte order.
std::string hexLittle32(std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes{};
  common::le::store32(bytes, 0, value);
  return hexBytes(bytes);
}

// The protocol's numbers: bare hex digits, no prefix.
std::optional<std::uint64_t> parseHex(std::string_view text) {
  return common::numberAtMost(text, UINT64_MAX, common::Radix::Hex);
}

std::optional<std::vector<std::uint8_t>> parseHexBytes(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto byte = parseHex(text.substr(i, 2));
    if (!byte) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(*byte));
  }
  return bytes;
}

// Splits "a,b" (or "a,b:c" for the caller to cut first).
std::optional<std::pair<std::uint64_t, std::uint64_t>>
parsePair(std::string_view text) {
  const auto comma = text.find(',');
  if (comma == std::string_view::npos) {
    return std::nullopt;
  }
  const auto first = parseHex(text.substr(0, comma));
  const auto second = parseHex(text.substr(comma + 1));
  if (!first || !second) {
    return std::nullopt;
  }
  return std::pair{*first, *second};
}

std::string signalReply(int signal, const std::string &reason) {
  return "T" + hexByte(static_cast<std::uint8_t>(signal)) + reason +
         "thread:1;";
}

// A slice of an object GDB reads in pieces: 'm' and more, or 'l' and last.
std::string slice(const std::string &object, std::uint64_t offset,
                  std::uint64_t length) {
  if (offset >= object.size()) {
    return "l";
  }
  const std::string part = object.substr(offset, length);
  return (offset + part.size() < object.size() ? "m" : "l") + part;
}

} // namespace debug::gdb

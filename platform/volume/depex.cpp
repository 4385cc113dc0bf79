// PEI dependency expressions: a small stack machine over PPI GUIDs.
#include "volume.h"

#include "hex.h"

#include <array>
#include <utility>

namespace volume {
namespace {

using common::hex;
constexpr std::size_t kGuidSize = 16;
constexpr std::uint8_t kBefore = 0x00;
constexpr std::uint8_t kAfter = 0x01;
constexpr std::uint8_t kSor = 0x09;

std::string at(std::uint32_t offset) {
  return "dependency expression at " + hex(offset) + ": ";
}

// The stack depth after `op`, or a FormatError where it underflows.
std::size_t depthAfter(std::uint8_t op, std::size_t depth,
                       std::uint32_t offset) {
  const std::size_t needs = op == 0x03 || op == 0x04 ? 2 : op == 0x05 ? 1 : 0;
  if (depth < needs) {
    throw FormatError(at(offset) + "expected " + std::to_string(needs) +
                      " values on the stack for opcode " + hex(op) +
                      ", found " + std::to_string(depth));
  }
  switch (op) {
  case 0x02:
  case 0x06:
  case 0x07:
    return depth + 1;
  case 0x03:
  case 0x04:
    return depth - 1;
  default:
    return depth;
  }
}

void checkOpcode(std::uint8_t op, std::uint32_t offset) {
  if (op == kBefore || op == kAfter || op == kSor) {
    throw FormatError(at(offset) + "expected a PEI opcode, found " + hex(op) +
                      " (BEFORE, AFTER and SOR have no meaning in PEI)");
  }
  if (op < static_cast<std::uint8_t>(DepexOp::Push) ||
      op > static_cast<std::uint8_t>(DepexOp::End)) {
    throw FormatError(at(offset) +
                      "expected an opcode from 0x2 to 0x8, "
                      "found " +
                      hex(op));
  }
}

// The top of an evaluation stack, taken off it. Only a parsed expression
// is evaluated, so an empty stack means a Depex built by hand went wrong.
template <class T> T popValue(std::vector<T> &stack) {
  if (stack.empty()) {
    throw FormatError("dependency expression: expected a value on the "
                      "stack, found none");
  }
  T value = std::move(stack.back());
  stack.pop_back();
  return value;
}

} // namespace

Depex parseDepex(ByteSpan bytes) {
  Depex depex;
  std::size_t depth = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto offset = static_cast<std::uint32_t>(i);
    const std::uint8_t op = bytes[i++];
    checkOpcode(op, offset);
    DepexInstruction instruction{static_cast<DepexOp>(op), offset, {}};
    if (instruction.op == DepexOp::End) {
      if (depth != 1) {
        throw FormatError(at(offset) +
                          "expected END to leave one value, "
                          "found " +
                          std::to_string(depth));
      }
      if (i != bytes.size()) {
        throw FormatError(at(offset) +
                          "expected END as the last byte, "
                          "found " +
                          std::to_string(bytes.size() - i) + " bytes after");
      }
      depex.code.push_back(instruction);
      return depex;
    }
    if (instruction.op == DepexOp::Push) {
      if (bytes.size() - i < kGuidSize) {
        throw FormatError(at(offset) +
                          "expected a 16-byte GUID after PUSH, "
                          "found " +
                          std::to_string(bytes.size() - i) + " bytes");
      }
      instruction.guid = Guid::fromBytes(bytes.subspan(i, kGuidSize));
      i += kGuidSize;
    }
    depth = depthAfter(op, depth, offset);
    depex.code.push_back(instruction);
  }
  throw FormatError(at(static_cast<std::uint32_t>(bytes.size())) +
                    "expected END, found the end of the section");
}

bool evaluate(const Depex &depex,
              const std::function<bool(const Guid &)> &installed) {
  std::vector<bool> stack;
  const auto pop = [&stack] { return popValue(stack); };
  for (const DepexInstruction &instruction : depex.code) {
    switch (instruction.op) {
    case DepexOp::Push:
      stack.push_back(installed(instruction.guid));
      break;
    case DepexOp::And: {
      const bool b = pop();
      const bool a = pop();
      stack.push_back(a && b);
      break;
    }
    case DepexOp::Or: {
      const bool b = pop();
      const bool a = pop();
      stack.push_back(a || b);
      break;
    }
    case DepexOp::Not:
      stack.push_back(!pop());
      break;
    case DepexOp::True:
      stack.push_back(true);
      break;
    case DepexOp::False:
      stack.push_back(false);
      break;
    case DepexOp::End:
      return pop();
    }
  }
  throw FormatError("dependency expression: expected END, found none");
}

std::string describe(const Depex &depex) {
  std::vector<std::string> stack;
  const auto pop = [&stack] { return popValue(stack); };
  for (const DepexInstruction &instruction : depex.code) {
    switch (instruction.op) {
    case DepexOp::Push:
      stack.push_back(ppiName(instruction.guid));
      break;
    case DepexOp::And:
    case DepexOp::Or: {
      const std::string b = pop();
      const std::string a = pop();
      stack.push_back("(" + a +
                      (instruction.op == DepexOp::And ? " AND " : " OR ") + b +
                      ")");
      break;
    }
    case DepexOp::Not:
      stack.push_back("NOT " + pop());
      break;
    case DepexOp::True:
      stack.push_back("TRUE");
      break;
    case DepexOp::False:
      stack.push_back("FALSE");
      break;
    case DepexOp::End:
      return pop();
    }
  }
  throw FormatError("dependency expression: expected END, found none");
}

std::string ppiName(const Guid &guid) {
  static const std::array<std::pair<const char *, const char *>, 4> kNames{{
      {"F894643D-C449-42D1-8EA8-85BDD8C65BDE",
       "gEfiPeiMemoryDiscoveredPpiGuid"},
      {"7408D748-FC8C-4EE6-9288-C4BEC092A410", "gEfiPeiMasterBootModePpiGuid"},
      {"2AB86EF5-ECB5-4134-B556-3854CA1FE1B4",
       "gEfiPeiReadOnlyVariable2PpiGuid"},
      {"06E81C58-4AD7-44BC-8390-F10265F72480", "gPcdPpiGuid"},
  }};
  for (const auto &[text, name] : kNames) {
    if (Guid::parse(text) == guid) {
      return name;
    }
  }
  return efi::guidName(guid); // the platform's own, else the text
}

} // namespace volume

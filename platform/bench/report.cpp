#include "report.h"

#include "hex.h"
#include "hob_list.h"

#include <nlohmann/json.hpp>

namespace bench {

using common::hex;
using nlohmann::json;

namespace {

const char *spaceName(bus::Space space) {
  switch (space) {
  case bus::Space::Port:
    return "port";
  case bus::Space::Memory:
    return "mmio";
  case bus::Space::Msr:
    return "msr";
  }
  return "?";
}

std::string hexBytes(const std::vector<std::uint8_t> &bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += hex(byte, 2).substr(2);
  }
  return text;
}

json peimJson(const PeimReport &peim) {
  json out = {{"guid", peim.name.text()},
              {"ui_name", peim.uiName},
              {"volume", peim.volume},
              {"file", hex(peim.file, 8)},
              {"depex", peim.depex},
              {"apriori", peim.apriori},
              {"ended", outcomeName(peim.outcome)}};
  out["address"] = peim.address ? json(hex(peim.address, 8)) : json(nullptr);
  out["in_place"] = peim.inPlace;
  out["order"] = peim.order ? json(*peim.order) : json(nullptr);
  out["status"] =
      peim.status ? json(pei::EfiStatus{*peim.status}.name()) : json(nullptr);
  out["detail"] = peim.detail;
  out["shadow_requested"] = peim.shadowRequested;
  if (peim.shadowAddress) {
    out["shadow"] = {
        {"address", hex(*peim.shadowAddress, 8)},
        {"status", peim.shadowStatus
                       ? json(pei::EfiStatus{*peim.shadowStatus}.name())
                       : json(nullptr)}};
  }
  json ppis = json::array();
  for (const efi::Guid &guid : peim.ppisInstalled) {
    ppis.push_back({{"guid", guid.text()}, {"name", volume::ppiName(guid)}});
  }
  out["ppis_installed"] = std::move(ppis);
  out["services"] = peim.services;
  json accesses = json::array();
  for (const bus::UnmodelledAccess &access : peim.unmodelled) {
    accesses.push_back({{"space", spaceName(access.space)},
                        {"write", access.write},
                        {"address", hex(access.address, 8)},
                        {"width", access.size},
                        {"value", hex(access.value)},
                        {"instruction", hex(access.instruction, 8)}});
  }
  out["unmodelled"] = std::move(accesses);
  out["unmodelled_count"] = peim.unmodelledCount;
  out["debug_output"] = peim.debugOutput;
  return out;
}

json hobsJson(const std::vector<std::uint8_t> &list) {
  json out = json::array();
  if (list.empty()) {
    return out;
  }
  try {
    for (const pei::Hob &block : pei::walkHobList(list)) {
      out.push_back({{"type", pei::hob::typeName(block.type)},
                     {"offset", block.offset},
                     {"length", block.length}});
    }
  } catch (const pei::HobFormatError &error) {
    out.push_back({{"error", error.what()}});
  }
  return out;
}

} // namespace

std::vector<std::string> summary(const RunReport &report) {
  std::vector<std::string> lines;
  lines.push_back("modules:");
  for (const PeimReport &peim : report.peims) {
    std::string line = "  ";
    line += peim.order ? "#" + std::to_string(*peim.order) : "  -";
    line.resize(6, ' ');
    std::string name = displayName(peim);
    name.resize(std::max<std::size_t>(name.size() + 1, 28), ' ');
    line += name;
    if (peim.status) {
      line += "returned " + pei::EfiStatus{*peim.status}.name();
      if (peim.outcome != Outcome::Returned) {
        line += std::string(", then ") + outcomeName(peim.outcome);
      }
    } else {
      line += outcomeName(peim.outcome);
    }
    if (peim.shadowStatus) {
      line += ", shadow returned " + pei::EfiStatus{*peim.shadowStatus}.name();
    }
    if (!peim.detail.empty() && peim.outcome != Outcome::Returned) {
      line += ": " + peim.detail;
    }
    if (peim.order) {
      unsigned calls = 0;
      for (const auto &[name, count] : peim.services) {
        calls += count;
      }
      const auto count = [&](const char *service) {
        const auto it = peim.services.find(service);
        return std::to_string(it == peim.services.end() ? 0 : it->second);
      };
      line += " [" + std::to_string(calls) + " service calls, " +
              std::to_string(peim.ppisInstalled.size()) + " PPIs installed, " +
              count("LocatePpi") + " located, " + count("CreateHob") +
              " HOBs created, " + std::to_string(peim.unmodelledCount) +
              " unmodelled accesses]";
    }
    lines.push_back(line);
  }
  lines.push_back("run: " + report.ending);
  if (report.memory) {
    lines.push_back("permanent memory: " + hex(report.memory->begin, 8) + ", " +
                    std::to_string(report.memory->length >> 20) + " MiB" +
                    (report.memoryByBench ? ", installed by the bench"
                                          : ", installed by a module"));
  }
  for (const TokenWrite &write : report.tokenWrites) {
    std::string line = "token " + std::to_string(write.token) + ": " +
                       write.module + " set " +
                       std::to_string(write.sizeAsked) +
                       " bytes through the PCD PPI's SetPtr, which answered ";
    line += write.status ? pei::EfiStatus{*write.status}.name()
                         : std::string("nothing (the call did not return)");
    if (write.sizeAfter && *write.sizeAfter != write.sizeAsked) {
      line += " and a size of " + std::to_string(*write.sizeAfter);
    }
    lines.push_back(line);
  }
  for (const TokenValue &token : report.tokens) {
    const std::string bytes = hexBytes(token.bytes);
    const std::string reach = hexBytes(token.reach);
    lines.push_back(
        "token " + std::to_string(token.token) +
        " in the PCD database afterwards: " + std::to_string(token.size) +
        " bytes, " + (bytes.empty() ? "none readable" : bytes) +
        (reach.empty() ? ""
                       : " (the " + std::to_string(token.reach.size()) +
                             " bytes from there: " + reach + ")"));
  }
  lines.push_back(
      "PPIs installed: " + std::to_string(report.ppis.size()) +
      "; unmodelled accesses: " + std::to_string(report.unmodelledCount));
  return lines;
}

std::string reportJson(const RunReport &report) {
  json out;
  out["volumes"] = report.volumes;
  json peims = json::array();
  for (const PeimReport &peim : report.peims) {
    peims.push_back(peimJson(peim));
  }
  out["peims"] = std::move(peims);
  out["ending"] = report.ending;
  out["dxe_ipl"] = report.dxeIpl;
  if (report.memory) {
    out["memory"] = {{"begin", hex(report.memory->begin, 8)},
                     {"length", report.memory->length},
                     {"by_bench", report.memoryByBench}};
  } else {
    out["memory"] = nullptr;
  }
  json ppis = json::array();
  for (const PpiReport &ppi : report.ppis) {
    ppis.push_back({{"guid", ppi.guid.text()},
                    {"name", volume::ppiName(ppi.guid)},
                    {"descriptor", hex(ppi.descriptor, 8)},
                    {"interface", hex(ppi.interface, 8)},
                    {"installer", ppi.installer}});
  }
  out["ppis"] = std::move(ppis);
  out["hob_list"] = hobsJson(report.hobList);
  json writes = json::array();
  for (const TokenWrite &write : report.tokenWrites) {
    writes.push_back(
        {{"module", write.module},
         {"token", write.token},
         {"size", write.sizeAsked},
         {"status", write.status ? json(pei::EfiStatus{*write.status}.name())
                                 : json(nullptr)},
         {"size_after",
          write.sizeAfter ? json(*write.sizeAfter) : json(nullptr)}});
  }
  out["token_writes"] = std::move(writes);
  json tokens = json::array();
  for (const TokenValue &token : report.tokens) {
    const std::string bytes = hexBytes(token.bytes);
    const std::string reach = hexBytes(token.reach);
    tokens.push_back({{"token", token.token},
                      {"size", token.size},
                      {"bytes", bytes},
                      {"reach", reach}});
  }
  out["tokens"] = std::move(tokens);
  out["unmodelled_count"] = report.unmodelledCount;
  out["seconds"] = report.seconds;
  return out.dump(2) + "\n";
}

} // namespace bench

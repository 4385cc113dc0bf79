// What the contract PEIMs must report under any PEI Foundation that keeps the
// PI contracts: the bench's and OVMF's genuine one are held to these same
// lines. Input: the "TTC ..." lines in the order they were written.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace contract {

// "TTC pages status=0x00000000 aligned=0x00000001": the event and fields.
struct Event {
  std::string name;
  std::map<std::string, std::uint32_t> fields;
};

inline std::vector<Event> parseEvents(const std::vector<std::string> &lines) {
  std::vector<Event> events;
  for (const std::string &line : lines) {
    const std::size_t at = line.find("TTC ");
    if (at == std::string::npos) {
      continue;
    }
    std::istringstream words(line.substr(at + 4));
    Event event;
    words >> event.name;
    std::string field;
    while (words >> field) {
      const std::size_t equals = field.find('=');
      if (equals != std::string::npos) {
        event.fields[field.substr(0, equals)] = static_cast<std::uint32_t>(
            std::stoul(field.substr(equals + 1), nullptr, 16));
      }
    }
    events.push_back(std::move(event));
  }
  return events;
}

// Every way the events break the contracts, one line each; empty when
// they keep them.
inline std::vector<std::string>
contractFailures(const std::vector<Event> &events) {
  std::vector<std::string> failures;
  auto index = [&](const std::string &name, std::size_t from = 0) {
    for (std::size_t i = from; i < events.size(); ++i) {
      if (events[i].name == name) {
        return static_cast<long>(i);
      }
    }
    return -1L;
  };
  auto expect = [&](const Event &event, const std::string &field,
                    std::uint32_t value) {
    const auto it = event.fields.find(field);
    if (it == event.fields.end() || it->second != value) {
      std::ostringstream line;
      line << event.name << ": expected " << field << "=0x" << std::hex << value
           << ", found "
           << (it == event.fields.end() ? std::string("none") : [&] {
                std::ostringstream v;
                v << "0x" << std::hex << it->second;
                return v.str();
              }());
      failures.push_back(line.str());
    }
  };
  // Every producer run checks the services anew; there are two runs, the
  // second from the shadow in permanent memory.
  const std::map<std::string, std::map<std::string, std::uint32_t>> each = {
      {"hobs", {{"status", 0}, {"phit", 1}, {"ended", 1}, {"end-matches", 1}}},
      {"create-hob",
       {{"status", 0}, {"length", 0x20}, {"found", 1}, {"one-more", 1}}},
      {"pool", {{"status", 0}, {"in-list", 1}}},
      {"pages", {{"status", 0}, {"aligned", 1}, {"below-4g", 1}, {"hob", 1}}},
      {"pages-usable", {{"ok", 1}}},
      {"pages-bad-type", {{"status", 0x80000002}}},
      {"free-pages", {{"status", 0}}},
      {"own-file", {{"found", 1}}},
      {"file-info", {{"status", 0}, {"type", 6}, {"by-name", 1}}},
      {"ui-section", {{"status", 0}, {"match", 1}}},
      {"missing-section", {{"status", 0x8000000E}}},
      {"volume-info",
       {{"status", 0}, {"start-matches", 1}, {"size-nonzero", 1}}},
  };
  std::vector<const Event *> runs;
  for (const Event &event : events) {
    if (event.name == "producer") {
      runs.push_back(&event);
    }
    const auto rule = each.find(event.name);
    if (rule != each.end()) {
      for (const auto &[field, value] : rule->second) {
        expect(event, field, value);
      }
    }
  }
  if (runs.size() != 2) {
    failures.push_back("expected 2 producer runs (in place, then the shadow), "
                       "found " +
                       std::to_string(runs.size()));
  } else {
    expect(*runs[0], "shadow", 0);
    expect(*runs[1], "shadow", 0x80000014); // EFI_ALREADY_STARTED
    expect(*runs[1], "memory", 1);
    expect(*runs[0], "boot-mode-status", 0);
  }
  for (const auto &[name, rule] : each) {
    if (index(name) < 0) {
      failures.push_back("expected a " + name + " line, found none");
    }
  }
  // Notifications: a callback on a PPI already installed runs inside the
  // NotifyPpi that armed it; one armed before its PPI runs inside the
  // InstallPpi that installs it; a dispatch notification after the
  // installing module returned.
  auto ordered = [&](std::initializer_list<const char *> names) {
    long last = -1;
    std::string chain;
    for (const char *name : names) {
      const long at = index(name, static_cast<std::size_t>(last + 1));
      chain += std::string(chain.empty() ? "" : " < ") + name;
      if (at < 0) {
        failures.push_back("expected " + chain + " in that order");
        return;
      }
      last = at;
    }
  };
  ordered({"notify-arm", "notify-early-begin", "notify-early",
           "notify-early-end", "producer-install", "consumer",
           "install-late-begin", "notify-late-callback", "install-late-end",
           "notify-late-dispatch"});
  for (const char *name : {"notify-arm", "notify-early-end", "producer-install",
                           "install-late-end"}) {
    if (const long at = index(name); at >= 0) {
      for (const auto &[field, value] : events[at].fields) {
        expect(events[at], field, 0);
      }
    }
  }
  if (const long at = index("consumer"); at >= 0) {
    expect(events[at], "producer", 0);
  }
  for (const char *once : {"notify-early", "notify-late-callback",
                           "notify-late-dispatch", "consumer"}) {
    const auto count =
        std::count_if(events.begin(), events.end(),
                      [&](const Event &e) { return e.name == once; });
    if (count > 1) {
      failures.push_back(std::string("expected one ") + once + " line, found " +
                         std::to_string(count));
    }
  }
  return failures;
}

} // namespace contract

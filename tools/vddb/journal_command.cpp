#include "journal_command.h"

#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <vector>

#include "engine/engine.h"
#include "repair_command.h"
#include "store/guid.h"

namespace vddb::tool {
namespace {

using engine::JournalEntry;
using engine::JournalSummary;
using engine::StoreSession;
using nlohmann::ordered_json;

constexpr int kExitDone = 0;
constexpr int kExitFailed = 8;

int fail(std::ostream& err, const char* name, const std::string& store, const std::string& why) {
  err << "vddb " << name << ": " << store << ": " << why << "\n";
  return kExitFailed;
}

std::string attributeText(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
  return text;
}

ordered_json summaryJson(const JournalSummary& e) {
  return {{"number", e.number},   {"time", e.time},
          {"program", e.program}, {"command", e.command},
          {"deleted", e.deleted}, {"created", e.created},
          {"changed", e.changed}, {"problems", e.problems < 0 ? ordered_json() : ordered_json(e.problems)},
          {"bytes", e.bytes}};
}

std::string who(const JournalSummary& e) {
  return e.command.empty() ? e.program : e.program + " " + e.command;
}

// A JSON text the engine made, as a value; text that does not parse (it
// always should) is kept as a string rather than lost.
ordered_json parsed(const std::string& text) {
  if (text.empty()) return nullptr;
  ordered_json value = ordered_json::parse(text, nullptr, false);
  return value.is_discarded() ? ordered_json(text) : value;
}

// An object of the entry as the dump shows it, indented under its heading.
void writeObject(std::ostream& out, const std::string& json, const char* indent) {
  const std::string text = parsed(json).dump(2, ' ', false, ordered_json::error_handler_t::replace);
  out << indent;
  for (const char c : text) {
    out << c;
    if (c == '\n') out << indent;
  }
  out << "\n";
}

void writeChange(std::ostream& out, const engine::JournalValueChange& c, const char* indent) {
  const auto side = [](const std::string& v) {
    return v.empty() ? std::string("(none)")
                     : parsed(v).dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  };
  out << indent << formatGuid(c.object) << " " << attributeText(c.attribute) << ": "
      << side(c.before) << " -> " << side(c.after) << "\n";
}

std::string counted(std::int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string summaryLine(const JournalSummary& e) {
  return "Entry " + std::to_string(e.number) + ", " + e.time + ", " + who(e) + ": " +
         counted(e.deleted, "object", "objects") + " deleted, " + std::to_string(e.created) +
         " created, " + counted(e.changed, "value", "values") + " changed";
}

// The text of show: with a report, each record with the changes it claims
// beneath it, then whatever no record claims; without one, the changes by
// kind.
void writeEntryText(std::ostream& out, const JournalEntry& entry) {
  out << summaryLine(entry.summary) << "\n";
  std::map<GUID, const std::string*, GuidLess> deleted;
  for (const auto& o : entry.deleted) deleted[o.guid] = &o.json;
  std::vector<bool> shown(entry.changed.size(), false);
  std::set<GUID, GuidLess> shownObjects;

  const ordered_json records = parsed(entry.report);
  if (records.is_array()) {
    out << counted(entry.summary.problems, "problem", "problems") << " in the repair's report\n";
    for (const ordered_json& record : records) {
      out << record.value("code", "") << " " << record.value("message", "") << "\n";
      for (const ordered_json& guid : record.value("deleted", ordered_json::array())) {
        const auto object = guid.is_string() ? parseGuid(guid.get<std::string>()) : std::nullopt;
        if (!object) continue;
        const auto it = deleted.find(*object);
        if (it == deleted.end() || !shownObjects.insert(*object).second) continue;
        out << "  deleted:\n";
        writeObject(out, *it->second, "    ");
      }
      for (const ordered_json& value : record.value("changed", ordered_json::array())) {
        const std::string attribute = value.value("attribute", "");
        const auto object = parseGuid(value.value("object", ""));
        if (!object) continue;
        for (std::size_t i = 0; i < entry.changed.size(); ++i) {
          const auto& c = entry.changed[i];
          if (shown[i] || !(c.object == *object) || attributeText(c.attribute) != attribute) continue;
          shown[i] = true;
          writeChange(out, c, "  changed ");
        }
      }
    }
  }
  bool headed = false;
  const auto heading = [&](const char* text) {
    if (!headed) out << text << "\n";
    headed = true;
  };
  for (const auto& o : entry.deleted) {
    if (shownObjects.count(o.guid) != 0) continue;
    heading(records.is_array() ? "Changes that no record explains:" : "Deleted objects:");
    if (records.is_array()) out << "  deleted:\n";
    writeObject(out, o.json, "    ");
  }
  headed = false;
  for (const auto& o : entry.created) {
    heading("Created objects:");
    writeObject(out, o.json, "    ");
  }
  headed = false;
  for (std::size_t i = 0; i < entry.changed.size(); ++i) {
    if (shown[i]) continue;
    heading("Changed values:");
    writeChange(out, entry.changed[i], "  ");
  }
}

ordered_json entryJson(const std::string& store, const JournalEntry& entry) {
  ordered_json doc;
  doc["format"] = "vddb-entry/1";
  doc["store"] = store;
  doc["entry"] = summaryJson(entry.summary);
  for (const auto& [name, objects] :
       {std::pair{"deletedObjects", &entry.deleted}, std::pair{"createdObjects", &entry.created}}) {
    ordered_json list = ordered_json::array();
    for (const auto& o : *objects) list.push_back(parsed(o.json));
    doc[name] = std::move(list);
  }
  ordered_json changed = ordered_json::array();
  for (const auto& c : entry.changed) {
    changed.push_back({{"object", formatGuid(c.object)},
                       {"attribute", attributeText(c.attribute)},
                       {"before", parsed(c.before)},
                       {"after", parsed(c.after)}});
  }
  doc["changedValues"] = std::move(changed);
  doc["problems"] = parsed(entry.report);
  return doc;
}

}  // namespace

int runHistory(const JournalCommand& command, std::ostream& out, std::ostream& err) {
  std::unique_ptr<StoreSession> session;
  if (command.prune) {
    HRESULT hr = openStoreWaiting(command.store, command.waitSeconds, "history", session, err);
    if (hr < 0) return fail(err, "history", command.store, describeResult(hr));
    std::int64_t dropped = 0;
    hr = session->pruneJournal(*command.prune, dropped);
    if (hr >= 0) hr = session->commit();
    if (hr < 0) {
      return fail(err, "history", command.store,
                  "the journal could not be pruned: " + describeResult(hr) + "; nothing was changed");
    }
    out << "dropped " << counted(dropped, "entry", "entries") << "\n";
    return kExitDone;
  }
  HRESULT hr = StoreSession::openReadOnly(command.store, session);
  if (hr < 0) return fail(err, "history", command.store, describeResult(hr));
  std::vector<JournalSummary> entries;
  hr = session->journal(entries);
  if (hr < 0) return fail(err, "history", command.store, describeResult(hr));
  if (command.json) {
    ordered_json doc;
    doc["format"] = "vddb-history/1";
    doc["store"] = command.store;
    ordered_json list = ordered_json::array();
    for (const JournalSummary& e : entries) list.push_back(summaryJson(e));
    doc["entries"] = std::move(list);
    out << doc.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
    return kExitDone;
  }
  if (entries.empty()) {
    out << "no journal entries\n";
    return kExitDone;
  }
  char line[256];
  std::snprintf(line, sizeof line, "%6s  %-20s  %-24s %8s %8s %8s %9s\n", "entry", "time", "by",
                "deleted", "created", "changed", "problems");
  out << line;
  for (const JournalSummary& e : entries) {
    const std::string problems = e.problems < 0 ? "-" : std::to_string(e.problems);
    std::snprintf(line, sizeof line, "%6lld  %-20s  %-24s %8lld %8lld %8lld %9s\n",
                  static_cast<long long>(e.number), e.time.c_str(), who(e).c_str(),
                  static_cast<long long>(e.deleted), static_cast<long long>(e.created),
                  static_cast<long long>(e.changed), problems.c_str());
    out << line;
  }
  return kExitDone;
}

int runShow(const JournalCommand& command, std::ostream& out, std::ostream& err) {
  std::unique_ptr<StoreSession> session;
  HRESULT hr = StoreSession::openReadOnly(command.store, session);
  if (hr < 0) return fail(err, "show", command.store, describeResult(hr));
  JournalEntry entry;
  std::string error;
  hr = session->journalEntry(command.entry, entry, &error);
  if (hr < 0) return fail(err, "show", command.store, error.empty() ? describeResult(hr) : error);
  if (command.json) {
    out << entryJson(command.store, entry).dump(2, ' ', false, ordered_json::error_handler_t::replace)
        << "\n";
  } else {
    writeEntryText(out, entry);
  }
  return kExitDone;
}

int runUndo(const JournalCommand& command, std::ostream& out, std::ostream& err) {
  std::unique_ptr<StoreSession> session;
  HRESULT hr = openStoreWaiting(command.store, command.waitSeconds, "undo", session, err);
  if (hr < 0) return fail(err, "undo", command.store, describeResult(hr));
  std::int64_t undone = 0;
  std::vector<engine::JournalConflict> conflicts;
  std::string error;
  hr = session->undo(command.entry, undone, conflicts, &error);
  if (hr < 0) {
    fail(err, "undo", command.store,
         (error.empty() ? describeResult(hr) : error) + "; nothing was changed");
    // A long list is cut short: the first objects name the entries to look at.
    constexpr std::size_t kNamed = 20;
    for (std::size_t n = 0; n < conflicts.size() && n < kNamed; ++n) {
      const engine::JournalConflict& c = conflicts[n];
      err << "  " << formatGuid(c.object) << ": ";
      if (c.entries.empty()) err << "changed outside the journal";
      for (std::size_t i = 0; i < c.entries.size(); ++i) {
        err << (i == 0 ? (c.entries.size() == 1 ? "entry " : "entries ") : ", ") << c.entries[i];
      }
      err << "\n";
    }
    if (conflicts.size() > kNamed) err << "  and " << conflicts.size() - kNamed << " more\n";
    return kExitFailed;
  }
  engine::setJournalOrigin("vddb", "undo " + std::to_string(undone));
  hr = session->commit();
  if (hr < 0) {
    return fail(err, "undo", command.store,
                "the undo could not be saved: " + describeResult(hr) + "; nothing was changed");
  }
  std::vector<JournalSummary> entries;
  session->journal(entries);
  out << "undid entry " << undone;
  if (!entries.empty() && entries.back().number != undone) {
    const JournalSummary& e = entries.back();
    out << " (recorded as entry " << e.number << ": " << counted(e.created, "object", "objects")
        << " put back, " << e.deleted << " deleted, " << counted(e.changed, "value", "values")
        << " changed)";
  }
  out << "\n";
  return kExitDone;
}

}  // namespace vddb::tool

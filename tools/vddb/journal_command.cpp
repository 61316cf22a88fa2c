#include "journal_command.h"

#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "encoding/quote.h"
#include "engine/engine.h"
#include "json_text.h"
#include "repair_command.h"
#include "store/guid.h"

namespace vddb::tool {
namespace {

using engine::JournalEntry;
using engine::JournalSummary;
using engine::StoreSession;

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

void appendSummaryJson(const JournalSummary& e, std::string& out) {
  out += '{';
  appendKey(out, "number");
  out += std::to_string(e.number);
  appendKey(out, "time");
  encoding::appendJsonString(e.time, out);
  appendKey(out, "program");
  encoding::appendJsonString(e.program, out);
  appendKey(out, "command");
  encoding::appendJsonString(e.command, out);
  for (const auto& [name, count] :
       {std::pair{"deleted", e.deleted}, std::pair{"created", e.created},
        std::pair{"changed", e.changed}}) {
    appendKey(out, name);
    out += std::to_string(count);
  }
  appendKey(out, "problems");
  out += e.problems < 0 ? std::string("null") : std::to_string(e.problems);
  appendKey(out, "bytes");
  out += std::to_string(e.bytes);
  out += '}';
}

std::string who(const JournalSummary& e) {
  return e.command.empty() ? e.program : e.program + " " + e.command;
}

// An object of the entry as the dump shows it, indented under its heading.
void writeObject(std::ostream& out, const std::string& json, const char* indent) {
  std::string compact;
  appendStoredJson(json, compact);
  std::string text;
  appendIndented(compact, text);
  out << indent;
  for (const char c : text) {
    out << c;
    if (c == '\n') out << indent;
  }
  out << "\n";
}

void writeChange(std::ostream& out, const engine::JournalValueChange& c, const char* indent) {
  const auto side = [](const std::string& v) {
    std::string text;
    if (v.empty()) {
      text = "(none)";
    } else {
      appendStoredJson(v, text);
    }
    return text;
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

  std::vector<ReportRecord> records;
  const bool reported = readReportRecords(entry.report, records);
  if (reported) {
    out << counted(entry.summary.problems, "problem", "problems") << " in the repair's report\n";
    for (const ReportRecord& record : records) {
      out << record.code << " " << record.message << "\n";
      for (const std::string& guid : record.deleted) {
        const auto object = parseGuid(guid);
        if (!object) continue;
        const auto it = deleted.find(*object);
        if (it == deleted.end() || !shownObjects.insert(*object).second) continue;
        out << "  deleted:\n";
        writeObject(out, *it->second, "    ");
      }
      for (const auto& [guid, attribute] : record.changed) {
        const auto object = parseGuid(guid);
        if (!object) continue;
        for (std::size_t i = 0; i < entry.changed.size(); ++i) {
          const auto& c = entry.changed[i];
          if (shown[i] || !(c.object == *object) || attributeText(c.attribute) != attribute)
            continue;
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
    heading(reported ? "Changes that no record explains:" : "Deleted objects:");
    if (reported) out << "  deleted:\n";
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

// The entry as show --json writes it, compact.
std::string entryJson(const std::string& store, const JournalEntry& entry) {
  std::string json = "{";
  appendKey(json, "format");
  encoding::appendJsonString("vddb-entry/1", json);
  appendKey(json, "store");
  appendStringJson(store, json);
  appendKey(json, "entry");
  appendSummaryJson(entry.summary, json);
  for (const auto& [name, objects] :
       {std::pair{"deletedObjects", &entry.deleted}, std::pair{"createdObjects", &entry.created}}) {
    appendKey(json, name);
    json += '[';
    for (const auto& o : *objects) {
      if (json.back() != '[') json += ',';
      appendStoredJson(o.json, json);
    }
    json += ']';
  }
  appendKey(json, "changedValues");
  json += '[';
  for (const auto& c : entry.changed) {
    if (json.back() != '[') json += ',';
    json += '{';
    appendKey(json, "object");
    encoding::appendJsonString(formatGuid(c.object), json);
    appendKey(json, "attribute");
    encoding::appendJsonString(attributeText(c.attribute), json);
    appendKey(json, "before");
    appendStoredJson(c.before, json);
    appendKey(json, "after");
    appendStoredJson(c.after, json);
    json += '}';
  }
  json += ']';
  appendKey(json, "problems");
  appendStoredJson(entry.report, json);
  json += '}';
  return json;
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
      return fail(
          err, "history", command.store,
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
    std::string json = "{";
    appendKey(json, "format");
    encoding::appendJsonString("vddb-history/1", json);
    appendKey(json, "store");
    appendStringJson(command.store, json);
    appendKey(json, "entries");
    json += '[';
    for (const JournalSummary& e : entries) {
      if (json.back() != '[') json += ',';
      appendSummaryJson(e, json);
    }
    json += "]}";
    writeIndented(out, json);
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
    writeIndented(out, entryJson(command.store, entry));
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

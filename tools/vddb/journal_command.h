// vddb history, vddb show and vddb undo: the store's journal of committed
// changes, listed, shown in the store's own terms, and reverted.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace vddb::tool {

struct JournalCommand {
  std::string store;
  std::int64_t entry = 0;  // show and undo: 0 for the latest
  bool json = false;
  std::optional<std::size_t> prune;  // history: keep only the newest this many
  unsigned waitSeconds = 0;          // undo and prune: how long to wait for a locked store
};

// Exit 0 when done, 8 when refused or failed (usage errors, 16, are the
// command line's); output to `out`, messages to `err`.
int runHistory(const JournalCommand& command, std::ostream& out, std::ostream& err);
int runShow(const JournalCommand& command, std::ostream& out, std::ostream& err);
int runUndo(const JournalCommand& command, std::ostream& out, std::ostream& err);

}  // namespace vddb::tool

// The progress line of the long commands (load, dump, generate, check,
// repair): one line on standard error, rewritten in place with '\r', cleared
// when the command ends. It is drawn only while standard error is a
// terminal; otherwise the line is off, draws nothing and reads no clock, so
// that what scripts and tests capture stays byte for byte the same.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace vddb::tool {

// "412,000": a count with its thousands grouped, as the line shows counts.
std::string groupedCount(std::uint64_t count);

// "37%": how much of `total` `done` is, rounded down and never above 100%;
// "0%" when the total is 0.
std::string percentOf(std::uint64_t done, std::uint64_t total);

class ProgressLine {
 public:
  // Milliseconds from any fixed origin.
  using Clock = std::function<long()>;

  // Counts are redrawn at most this often.
  static constexpr long kIntervalMs = 250;
  // Longer text is cut here, so that the line never wraps on a terminal of
  // 80 columns, where '\r' could not take it back.
  static constexpr std::size_t kWidth = 79;

  // Off: draws nothing.
  ProgressLine() = default;
  // Draws on `out` (null: off), timed by `clock` (the platform's millisecond
  // clock when empty).
  explicit ProgressLine(std::ostream* out, Clock clock = {});
  ~ProgressLine() { clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool on() const noexcept { return _out != nullptr; }

  // Whether a count should be redrawn now: the line is on and was last drawn
  // at least kIntervalMs ago. Reads the clock only when on, so a caller asks
  // before it formats the text.
  bool due();
  // Draws `text` at once, over what the line showed: for counts that due()
  // let through and for a new phase ("pass 5 of 12 ..."), which must not
  // wait, or the line would name the phase before while a long one runs.
  void draw(std::string_view text);
  // Takes the line back to an empty one, the cursor at its start; before a
  // message or a report, and at the end.
  void clear();

 private:
  std::ostream* _out = nullptr;
  Clock _clock;
  long _lastDrawn = 0;
  std::size_t _shown = 0;  // characters on the line now
};

// Reads through to `source` and shows how far the reading has come:
// "loading: 37%" of `total` bytes, or "loading: 120 MB read" when the size
// is not known (0). Seeks pass through, so a reader that rewinds its input
// works as on `source` itself. When the input is used up the line says that
// the store is being built.
class ProgressReadBuffer final : public std::streambuf {
 public:
  ProgressReadBuffer(std::streambuf& source, std::uint64_t total, std::string label,
                     ProgressLine& line);

 protected:
  int_type underflow() override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  void drop(pos_type position);

  std::streambuf& _source;
  std::uint64_t _total;
  std::string _label;
  ProgressLine& _line;
  std::vector<char> _buffer;
  std::uint64_t _read = 0;  // the source's position after the buffered bytes
  bool _atEnd = false;
};

}  // namespace vddb::tool

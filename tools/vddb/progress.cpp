#include "progress.h"

#include <algorithm>
#include <ostream>
#include <utility>

#include "platform/clock.h"

namespace vddb::tool {

namespace {

constexpr std::size_t kReadBlock = 1 << 16;

}  // namespace

std::string groupedCount(std::uint64_t count) {
  const std::string digits = std::to_string(count);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string percentOf(std::uint64_t done, std::uint64_t total) {
  if (total == 0) return "0%";
  // done * 100 would overflow only beyond 1.8e17; stores stay far below.
  return std::to_string(std::min<std::uint64_t>(done, total) * 100 / total) + "%";
}

ProgressLine::ProgressLine(std::ostream* out, Clock clock) : _out(out), _clock(std::move(clock)) {
  if (_out == nullptr) return;
  if (!_clock) _clock = [] { return platform::millisecondClock(); };
  _lastDrawn = _clock();
}

bool ProgressLine::due() {
  if (_out == nullptr) return false;
  return _clock() - _lastDrawn >= kIntervalMs;
}

void ProgressLine::draw(std::string_view text) {
  if (_out == nullptr) return;
  text = text.substr(0, kWidth);
  // One write per redraw: '\r', the text, and blanks over what is left of a
  // longer text before it.
  std::string line = "\r";
  line += text;
  if (_shown > text.size()) line.append(_shown - text.size(), ' ');
  _out->write(line.data(), static_cast<std::streamsize>(line.size()));
  _out->flush();
  _shown = text.size();
  _lastDrawn = _clock();
}

void ProgressLine::clear() {
  if (_out == nullptr || _shown == 0) return;
  std::string line = "\r";
  line.append(_shown, ' ');
  line += '\r';
  _out->write(line.data(), static_cast<std::streamsize>(line.size()));
  _out->flush();
  _shown = 0;
}

ProgressReadBuffer::ProgressReadBuffer(std::streambuf& source, std::uint64_t total,
                                       std::string label, ProgressLine& line)
    : _source(source), _total(total), _label(std::move(label)), _line(line), _buffer(kReadBlock) {}

ProgressReadBuffer::int_type ProgressReadBuffer::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const std::streamsize got =
      _source.sgetn(_buffer.data(), static_cast<std::streamsize>(_buffer.size()));
  if (got <= 0) {
    if (!_atEnd) _line.draw(_label + ": all read, building the store");
    _atEnd = true;
    return traits_type::eof();
  }
  _read += static_cast<std::uint64_t>(got);
  setg(_buffer.data(), _buffer.data(), _buffer.data() + got);
  if (_line.due()) {
    _line.draw(_label + ": " +
               (_total > 0 ? percentOf(_read, _total) : groupedCount(_read >> 20) + " MB read"));
  }
  return traits_type::to_int_type(*gptr());
}

ProgressReadBuffer::pos_type ProgressReadBuffer::seekoff(off_type offset,
                                                         std::ios_base::seekdir direction,
                                                         std::ios_base::openmode which) {
  // The source stands after the buffered bytes; the reader, before those it
  // has not taken yet.
  if (direction == std::ios_base::cur) offset -= egptr() - gptr();
  const pos_type position = _source.pubseekoff(offset, direction, which);
  drop(position);
  return position;
}

ProgressReadBuffer::pos_type ProgressReadBuffer::seekpos(pos_type position,
                                                         std::ios_base::openmode which) {
  const pos_type reached = _source.pubseekpos(position, which);
  drop(reached);
  return reached;
}

void ProgressReadBuffer::drop(pos_type position) {
  // A seek that failed moved nothing: what is buffered is still to be read.
  if (position == pos_type(off_type(-1))) return;
  setg(_buffer.data(), _buffer.data(), _buffer.data());
  _read = static_cast<std::uint64_t>(static_cast<off_type>(position));
  _atEnd = false;
}

}  // namespace vddb::tool

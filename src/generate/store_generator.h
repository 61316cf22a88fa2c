// The generator behind generate_store.h: produces a store's JSON text item
// by item, so that a caller can stream it into a load.
//
// Internal to the generator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "generate/generate_store.h"
#include "store/com.h"

namespace vddb::generate::detail {

// xoshiro256** seeded through splitmix64: fixed arithmetic, so a seed gives
// the same numbers on every platform and compiler (the standard library's
// distributions are not specified bit for bit).
class Random {
 public:
  explicit Random(std::uint64_t seed) noexcept;
  std::uint64_t next() noexcept;
  // 0 .. bound-1; bound > 0.
  std::uint32_t below(std::uint32_t bound) noexcept;
  // True with the probability that `threshold` stands for (see chanceThreshold).
  bool chance(std::uint64_t threshold) noexcept { return (next() >> 11) < threshold; }

 private:
  std::uint64_t _state[4];
};

// A probability 0..1 as a threshold for Random::chance.
std::uint64_t chanceThreshold(double probability) noexcept;

class StoreGenerator {
 public:
  explicit StoreGenerator(const StoreRecipe& recipe);

  // Appends the next part of the text to `out`: the opening, then one item
  // at a time, then the closing. False once everything was appended.
  bool appendNext(std::string& out);

  const StoreSummary& summary() const noexcept { return _summary; }

 private:
  enum class Stage { kOpening, kItems, kClosing, kDone };

  void appendItem(std::string& out);
  void trelixChassis(std::string& out);
  void mordanConnectorBlock(std::string& out);
  void quentaChassis(std::string& out);
  void device(std::string& out);
  void holder(std::string& out);
  void singleHolder(std::string& out);
  void twoWayLink(std::string& out);
  void linkRecords(std::string& out);
  void nameReferences(std::string& out);

  // The damage variant for the current item, or -1 when it is healthy.
  // Everything about damage is drawn from its own stream, so the shape
  // stream, and with it every healthy item of a seed, is the same at every
  // damage rate.
  int damageVariant(int variants);
  void countDamage(int pass) { ++_summary.damagedForPass[static_cast<std::size_t>(pass - 1)]; }
  static GUID randomGuid(Random& random);
  // A GUID of the item's shape.
  GUID newGuid() { return randomGuid(_shape); }
  // A GUID for what damage adds: an object, or the target of a dangling
  // reference (no object has it).
  GUID lostGuid() { return randomGuid(_damage); }
  const GUID& anyDevice();

  StoreRecipe _recipe;
  Random _shape;
  Random _damage;
  std::uint64_t _damageThreshold;
  Stage _stage = Stage::kOpening;
  StoreSummary _summary;
  std::vector<GUID> _devices;  // saved markers and referrer lists point at devices
  std::uint32_t _deviceNumber = 0;
  std::uint32_t _nameNumber = 0;
  bool _firstObject = true;
};

}  // namespace vddb::generate::detail

#include "status/tStatus2.h"

#include <new>

struct tStatus2::Implementation {
  std::uint32_t references;
  const char* component;
  const char* sourceFile;
  std::uint32_t line;
};

tStatus2::tStatus2(const tStatus2& other) noexcept : _impl(other._impl), code(other.code) {
  if (_impl != nullptr) ++_impl->references;
}

tStatus2::~tStatus2() {
  if (_impl != nullptr && --_impl->references == 0) delete _impl;
}

std::uint32_t tStatus2::_assign(const tStatus2& other) noexcept {
  if (other._impl != nullptr) ++other._impl->references;
  if (_impl != nullptr && --_impl->references == 0) delete _impl;
  _impl = other._impl;
  code = other.code;
  return 0;
}

std::uint32_t tStatus2::_allocateImplementationObject(
    std::int32_t newCode, const char* component, const char* sourceFile, std::uint32_t line,
    iStatus2Description* /*description*/) noexcept {
  code = newCode;
  auto* fresh = new (std::nothrow) Implementation{1, component, sourceFile, line};
  if (_impl != nullptr && --_impl->references == 0) delete _impl;
  // Without memory for the description the code alone must still tell the story.
  _impl = fresh;
  return fresh != nullptr ? 0U : 1U;
}

const char* tStatus2::getComponent() const noexcept { return _impl ? _impl->component : nullptr; }
const char* tStatus2::getSourceFile() const noexcept { return _impl ? _impl->sourceFile : nullptr; }
std::uint32_t tStatus2::getLine() const noexcept { return _impl ? _impl->line : 0; }

// The status value that every operation carries by reference.
//
// A status is a signed 32-bit code (negative: error, positive: warning,
// 0: success) plus an optional, reference-counted description of where an
// error was raised. Creating, copying and assigning a status never allocates,
// so an out-of-memory status is always representable; only
// _allocateImplementationObject allocates, and when that fails the code is
// still recorded, just without its description.
#pragma once

#include <cstdint>

// Reserved for a caller-supplied description; this system always passes null.
class iStatus2Description;

class tStatus2 {
 public:
  tStatus2() noexcept = default;
  // Copies the code and shares the description (one more reference on it).
  tStatus2(const tStatus2& other) noexcept;
  tStatus2& operator=(const tStatus2&) = delete;
  ~tStatus2();

  std::int32_t getCode() const noexcept { return code; }
  bool isFatal() const noexcept { return code < 0; }
  bool isNotFatal() const noexcept { return code >= 0; }

  // Takes over the other status's code and shares its description.
  std::uint32_t _assign(const tStatus2& other) noexcept;

  // Sets the code and records component, source file and line as the
  // description. The texts must outlive the status (string literals).
  std::uint32_t _allocateImplementationObject(std::int32_t newCode, const char* component,
                                              const char* sourceFile, std::uint32_t line,
                                              iStatus2Description* description) noexcept;

  // The recorded origin; null / 0 when the status was never raised.
  const char* getComponent() const noexcept;
  const char* getSourceFile() const noexcept;
  std::uint32_t getLine() const noexcept;
  bool hasDescription() const noexcept { return _impl != nullptr; }

 private:
  struct Implementation;
  Implementation* _impl = nullptr;

 public:
  // Read and written directly by the status rules; everything else goes
  // through them.
  std::int32_t code = 0;
};

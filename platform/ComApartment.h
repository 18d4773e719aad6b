// The per-thread component runtime that the Outlook binding needs. On Linux there is none to set
// up, so initialisation always succeeds; tests inject failures.
#pragma once

#include <memory>

namespace ravenox::platform {

class ComApartment {
 public:
  virtual ~ComApartment() = default;
  // True on success (S_OK).
  virtual bool Initialize() = 0;
  virtual void Uninitialize() = 0;
};

class NullComApartment final : public ComApartment {
 public:
  bool Initialize() override { return true; }
  void Uninitialize() override {}
};

// What the engine's thread initialises: nothing on Linux, COM's single-threaded apartment on
// Windows.
std::shared_ptr<ComApartment> SystemComApartment();

}  // namespace ravenox::platform

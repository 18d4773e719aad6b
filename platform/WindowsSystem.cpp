#include "platform/WindowsSystem.h"

#include <objbase.h>
#include <windows.h>

#include <string>

#include "platform/WindowsText.h"

namespace ravenox::platform {

namespace {
thread_local unsigned long apartment_epoch = 0;
}  // namespace

unsigned long ComApartmentEpoch() {
  return apartment_epoch;
}

bool WindowsComApartment::Initialize() {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  return hr == S_OK || hr == S_FALSE;
}

void WindowsComApartment::Uninitialize() {
  ++apartment_epoch;
  CoUninitialize();
}

void DebuggerOutput::Write(std::string_view line) {
  std::wstring text = WideText(std::string(line));
  text += L"\r\n";
  OutputDebugStringW(text.c_str());
}

std::shared_ptr<ComApartment> SystemComApartment() {
  return std::make_shared<WindowsComApartment>();
}

std::shared_ptr<DebugOutput> SystemDebugOutput() {
  return std::make_shared<DebuggerOutput>();
}

}  // namespace ravenox::platform

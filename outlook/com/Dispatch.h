// Calls through IDispatch: an automation object held by the thread that got it, its members called
// by DispID or by name, VARIANTs converted to and from the object model's types, and a failed call
// turned into AutomationError with the text the server gave.
#pragma once

#include <oaidl.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "outlook/OutlookModel.h"

namespace outlook::com {

// A VARIANT that clears what it holds.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  ~Variant() { VariantClear(&v_); }
  Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant& operator=(Variant&&) = delete;
  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }

  static Variant Int(int value);
  static Variant Date(TDateTime value);
  static Variant Text(const std::string& value);

  // Throw AutomationError ("Type mismatch") when the value is not of, or convertible to, the type.
  int ToInt() const;
  bool ToBool() const;
  TDateTime ToDate() const;
  std::string ToText() const;
  // The object; null for an empty or null value.
  IDispatch* ToDispatch() const;

 private:
  VARIANT v_;
};

// The error a failed call gives: the server's own description from EXCEPINFO where it raised one
// (DISP_E_EXCEPTION), else what the system says of the HRESULT.
AutomationError ErrorOf(HRESULT hr, EXCEPINFO* info);

// An automation object. It belongs to the thread and apartment that got it: from anywhere else
// (another thread, or after that thread left the apartment, which took the object's proxy with it)
// it is neither called (AutomationError) nor released.
class Object {
 public:
  Object() = default;
  // Takes over one reference to `object` (null: an empty object).
  explicit Object(IDispatch* object);
  explicit operator bool() const { return ref_ != nullptr; }

  // A property's value or a method's result; `name` is used where `dispid` is 0 (not known: it is
  // asked of the object once).
  void Call(int dispid, const char* name, std::vector<Variant*> args, Variant& result) const;
  int GetInt(int dispid, const char* name) const;
  bool GetBool(int dispid, const char* name) const;
  TDateTime GetDate(int dispid, const char* name) const;
  std::string GetText(int dispid, const char* name) const;
  // Null where the member answers with no object.
  Object GetDispatch(int dispid, const char* name, std::vector<Variant*> args = {}) const;
  void Put(int dispid, const char* name, Variant& value) const;

 private:
  struct Ref;
  IDispatch* Usable() const;
  DISPID IdOf(int dispid, const char* name) const;
  std::shared_ptr<Ref> ref_;
};

}  // namespace outlook::com

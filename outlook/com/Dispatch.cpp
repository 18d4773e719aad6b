#include "outlook/com/Dispatch.h"

#include <windows.h>

#include <oleauto.h>

#include <thread>

#include "platform/WindowsSystem.h"
#include "platform/WindowsText.h"

namespace outlook::com {

using ravenox::platform::SystemMessage;
using ravenox::platform::Utf8Text;
using ravenox::platform::WideText;

namespace {

Variant Converted(const Variant& from, VARTYPE type) {
  Variant to;
  const HRESULT hr = VariantChangeType(to.get(), const_cast<VARIANT*>(&*from), 0, type);
  if (FAILED(hr)) throw ErrorOf(hr, nullptr);
  return to;
}

}  // namespace

Variant Variant::Int(int value) {
  Variant v;
  v.v_.vt = VT_I4;
  v.v_.lVal = value;
  return v;
}

Variant Variant::Date(TDateTime value) {
  // The automation DATE counts days from 30 December 1899, as TDateTime does.
  Variant v;
  v.v_.vt = VT_DATE;
  v.v_.date = value.Value();
  return v;
}

Variant Variant::Text(const std::string& value) {
  const std::wstring wide = WideText(value);
  Variant v;
  v.v_.vt = VT_BSTR;
  v.v_.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (v.v_.bstrVal == nullptr) {
    v.v_.vt = VT_EMPTY;
    throw AutomationError("Out of memory for a text of " + std::to_string(value.size()) + " bytes");
  }
  return v;
}

int Variant::ToInt() const {
  if (v_.vt == VT_I4) return v_.lVal;
  return Converted(*this, VT_I4).v_.lVal;
}

bool Variant::ToBool() const {
  if (v_.vt == VT_BOOL) return v_.boolVal != VARIANT_FALSE;
  return Converted(*this, VT_BOOL).v_.boolVal != VARIANT_FALSE;
}

TDateTime Variant::ToDate() const {
  if (v_.vt == VT_DATE) return TDateTime(v_.date);
  return TDateTime(Converted(*this, VT_DATE).v_.date);
}

std::string Variant::ToText() const {
  if (v_.vt == VT_BSTR)
    return v_.bstrVal == nullptr ? std::string()
                                 : Utf8Text(std::wstring(v_.bstrVal, SysStringLen(v_.bstrVal)));
  if (v_.vt == VT_EMPTY || v_.vt == VT_NULL) return {};
  return Converted(*this, VT_BSTR).ToText();
}

IDispatch* Variant::ToDispatch() const {
  IDispatch* object = nullptr;
  if (v_.vt == VT_DISPATCH) {
    object = v_.pdispVal;
    if (object != nullptr) object->AddRef();
  } else if (v_.vt == VT_UNKNOWN) {
    if (v_.punkVal != nullptr &&
        FAILED(v_.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&object))))
      throw AutomationError("The object cannot be automated");
  } else if (v_.vt != VT_EMPTY && v_.vt != VT_NULL) {
    throw ErrorOf(DISP_E_TYPEMISMATCH, nullptr);
  }
  return object;
}

AutomationError ErrorOf(HRESULT hr, EXCEPINFO* info) {
  std::string message;
  if (hr == DISP_E_EXCEPTION && info != nullptr) {
    if (info->pfnDeferredFillIn != nullptr) info->pfnDeferredFillIn(info);
    if (info->bstrDescription != nullptr)
      message = Utf8Text(std::wstring(info->bstrDescription, SysStringLen(info->bstrDescription)));
    const HRESULT code = info->scode != 0 ? info->scode : static_cast<HRESULT>(info->wCode);
    if (message.empty() && code != 0) message = SystemMessage(static_cast<unsigned long>(code));
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrHelpFile);
    *info = EXCEPINFO{};
  }
  if (message.empty()) message = SystemMessage(static_cast<unsigned long>(hr));
  return AutomationError(message);
}

struct Object::Ref {
  IDispatch* object = nullptr;
  std::thread::id thread = std::this_thread::get_id();
  unsigned long epoch = ravenox::platform::ComApartmentEpoch();
  std::map<std::string, DISPID> ids;

  bool Here() const {
    return thread == std::this_thread::get_id() && epoch == ravenox::platform::ComApartmentEpoch();
  }
  ~Ref() {
    if (object != nullptr && Here()) object->Release();
  }
};

Object::Object(IDispatch* object) {
  if (object == nullptr) return;
  ref_ = std::make_shared<Ref>();
  ref_->object = object;
}

IDispatch* Object::Usable() const {
  if (ref_ == nullptr) throw AutomationError("The object is not there");
  if (!ref_->Here()) throw AutomationError("The connection to Outlook belongs to a closed session");
  return ref_->object;
}

DISPID Object::IdOf(int dispid, const char* name) const {
  if (dispid != 0) return dispid;
  IDispatch* object = Usable();
  if (const auto at = ref_->ids.find(name); at != ref_->ids.end()) return at->second;
  std::wstring wide = WideText(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = DISPID_UNKNOWN;
  const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) throw ErrorOf(hr, nullptr);
  ref_->ids.emplace(name, id);
  return id;
}

void Object::Call(int dispid, const char* name, std::vector<Variant*> args, Variant& result) const {
  IDispatch* object = Usable();
  const DISPID id = IdOf(dispid, name);
  // The arguments go last to first.
  std::vector<VARIANT> params;
  for (auto it = args.rbegin(); it != args.rend(); ++it) params.push_back(**(*it));
  DISPPARAMS dp{params.empty() ? nullptr : params.data(), nullptr, static_cast<UINT>(params.size()),
                0};
  EXCEPINFO info{};
  UINT bad_arg = 0;
  const HRESULT hr =
      object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &dp,
                     result.get(), &info, &bad_arg);
  if (FAILED(hr)) throw ErrorOf(hr, &info);
}

void Object::Put(int dispid, const char* name, Variant& value) const {
  IDispatch* object = Usable();
  const DISPID id = IdOf(dispid, name);
  VARIANT param = *value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS dp{&param, &named, 1, 1};
  EXCEPINFO info{};
  UINT bad_arg = 0;
  const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &dp,
                                    nullptr, &info, &bad_arg);
  if (FAILED(hr)) throw ErrorOf(hr, &info);
}

int Object::GetInt(int dispid, const char* name) const {
  Variant v;
  Call(dispid, name, {}, v);
  return v.ToInt();
}

bool Object::GetBool(int dispid, const char* name) const {
  Variant v;
  Call(dispid, name, {}, v);
  return v.ToBool();
}

TDateTime Object::GetDate(int dispid, const char* name) const {
  Variant v;
  Call(dispid, name, {}, v);
  return v.ToDate();
}

std::string Object::GetText(int dispid, const char* name) const {
  Variant v;
  Call(dispid, name, {}, v);
  return v.ToText();
}

Object Object::GetDispatch(int dispid, const char* name, std::vector<Variant*> args) const {
  Variant v;
  Call(dispid, name, std::move(args), v);
  return Object(v.ToDispatch());
}

}  // namespace outlook::com

#include "outlook/OutlookApplication.h"

namespace outlook {

TOutlookApplication::TOutlookApplication(Connector connector, bool auto_quit)
    : connector_(std::move(connector)), auto_quit_(auto_quit) {}

TOutlookApplication::~TOutlookApplication() {
  if (app_ != nullptr && auto_quit_) {
    try {
      app_->Quit();
    } catch (...) {
      // Outlook may already be gone.
    }
  }
}

Application& TOutlookApplication::App() {
  if (app_ == nullptr) {
    if (!connector_) throw AutomationError("No Outlook connection is configured");
    app_ = connector_();
    if (app_ == nullptr) throw AutomationError("Outlook could not be started");
  }
  return *app_;
}

std::shared_ptr<NameSpace> TOutlookApplication::GetNamespace(const std::string& type) {
  return App().GetNamespace(type);
}

std::shared_ptr<OutlookItem> TOutlookApplication::CreateItem(int type) {
  return App().CreateItem(type);
}

void TOutlookApplication::Quit() {
  if (app_ != nullptr) app_->Quit();
}

}  // namespace outlook

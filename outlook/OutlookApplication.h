// The connection object: connects to a running Outlook or starts one on the first call, and makes
// it quit when destroyed. Which backend it reaches is chosen when it is made.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "outlook/OutlookModel.h"

namespace outlook {

// Connects (running-or-new) and returns the application; throws AutomationError when it cannot.
using Connector = std::function<std::shared_ptr<Application>()>;

class TOutlookApplication {
 public:
  explicit TOutlookApplication(Connector connector, bool auto_quit = true);
  ~TOutlookApplication();
  TOutlookApplication(const TOutlookApplication&) = delete;
  TOutlookApplication& operator=(const TOutlookApplication&) = delete;

  std::shared_ptr<NameSpace> GetNamespace(const std::string& type);
  std::shared_ptr<OutlookItem> CreateItem(int type);
  void Quit();
  bool Connected() const { return app_ != nullptr; }

 private:
  Application& App();

  Connector connector_;
  bool auto_quit_;
  std::shared_ptr<Application> app_;
};

}  // namespace outlook

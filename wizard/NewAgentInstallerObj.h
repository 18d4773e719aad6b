// The sequence for a new user: welcome, carrier, then the region, the number and times or the
// custom address depending on the carrier, (with the local store, where the calendar and mail are
// and how texts go out,) then meetings and tasks. The program has exactly one,
// made before the main window and gone after it.
#pragma once

#include <QPointer>

#include "wizard/BaseInstaller.h"
#include "wizard/WizardHost.h"

namespace ravenox::wizard {

class TAgentInitialFrame;
class TServiceProvider;
class TPersonnelConfig;
class TTaskManagement;
class TMeetingNotification;
class TCinglarServiceSelect;
class TCustomService;
class TLocalStorePage;

class TNewAgentInstaller final : public TBaseInstaller {
 public:
  TNewAgentInstaller();
  ~TNewAgentInstaller() override;

  // The program's one instance; null before it is made and after it is gone.
  static TNewAgentInstaller* Instance() { return instance_; }

  void CreatePages() override;
  TGenericFrame* FirstPage() override;
  void PreviousPage() override;
  void NextPage() override;

  QPointer<TAgentInitialFrame> WelcomePage;
  QPointer<TServiceProvider> ProviderPage;
  QPointer<TPersonnelConfig> PersonalPage;
  QPointer<TTaskManagement> TaskPage;
  QPointer<TMeetingNotification> MeetingPage;
  QPointer<TCinglarServiceSelect> RegionPage;
  QPointer<TCustomService> CustomPage;
  QPointer<TLocalStorePage> StorePage;  // the local store's page, when this build reads it

 private:
  // The carrier now selected on the carrier page (not the stored one).
  int CarrierChoice() const;
  // The page before the meetings page, and the page the address was given on.
  TGenericFrame* BeforeMeetings() const;
  TGenericFrame* AfterAddressPages() const;

  static inline TNewAgentInstaller* instance_ = nullptr;
};

}  // namespace ravenox::wizard

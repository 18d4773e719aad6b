#include "wizard/NewAgentInstallerObj.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <cassert>

#include "settings/Carriers.h"
#include "wizard/CinglarServiceSelectUnit.h"
#include "wizard/CustomServiceUnit.h"
#include "wizard/FrameAgentImage.h"
#include "wizard/FrameAgentInitial.h"
#include "wizard/FrameServiceProvider.h"
#include "wizard/InstallerMain.h"
#include "wizard/LocalStoreUnit.h"
#include "wizard/MeetingNotificationUnit.h"
#include "wizard/PersonnelConfigUnit.h"
#include "wizard/TaskManagementUnit.h"

namespace ravenox::wizard {

TNewAgentInstaller::TNewAgentInstaller() {
  assert(instance_ == nullptr);
  instance_ = this;
}

TNewAgentInstaller::~TNewAgentInstaller() {
  for (QWidget* page :
       std::initializer_list<QWidget*>{WelcomePage, ProviderPage, PersonalPage, TaskPage,
                                       MeetingPage, RegionPage, CustomPage, StorePage}) {
    DeletePage(page);
  }
  instance_ = nullptr;
}

void TNewAgentInstaller::CreatePages() {
  const TStoreKind store =
      MainForm() != nullptr ? MainForm()->Context().store : TStoreKind::kLocalStore;
  if (WelcomePage == nullptr) WelcomePage = new TAgentInitialFrame(*this, store);
  if (ProviderPage == nullptr) ProviderPage = new TServiceProvider(*this);
  if (ImagePage == nullptr) ImagePage = new TImageFrame();
  if (PersonalPage == nullptr) PersonalPage = new TPersonnelConfig(*this);
  if (TaskPage == nullptr) TaskPage = new TTaskManagement(*this);
  if (MeetingPage == nullptr) MeetingPage = new TMeetingNotification(*this);
  if (RegionPage == nullptr) RegionPage = new TCinglarServiceSelect(*this);
  if (CustomPage == nullptr) CustomPage = new TCustomService(*this);
  // The local store has one page more: where the calendar and the mail are, how texts go out.
  const bool store_page = store == TStoreKind::kLocalStore && MainForm() != nullptr &&
                          MainForm()->Context().store_setup != nullptr;
  if (store_page && StorePage == nullptr) StorePage = new TLocalStorePage(*this);
}

TGenericFrame* TNewAgentInstaller::BeforeMeetings() const {
  if (StorePage != nullptr) return StorePage;
  return MeetingPage;
}

TGenericFrame* TNewAgentInstaller::AfterAddressPages() const {
  return CarrierChoice() == settings::kOtherService ? static_cast<TGenericFrame*>(CustomPage)
                                                    : PersonalPage;
}

TGenericFrame* TNewAgentInstaller::FirstPage() {
  return WelcomePage;
}

int TNewAgentInstaller::CarrierChoice() const {
  return ProviderPage != nullptr ? ProviderPage->rdoServiceProvider->ItemIndex() : -1;
}

void TNewAgentInstaller::NextPage() {
  TGenericFrame* page = CurrentPage;
  if (page == WelcomePage) {
    ShowPage(ProviderPage);
  } else if (page == ProviderPage) {
    const int choice = CarrierChoice();
    if (choice == settings::kCingularService) {
      ShowPage(RegionPage);
    } else if (choice == settings::kOtherService) {
      ShowPage(CustomPage);
    } else {
      ShowPage(PersonalPage);
    }
  } else if (page == CustomPage || page == PersonalPage) {
    ShowPage(BeforeMeetings());
  } else if (page == RegionPage) {
    ShowPage(PersonalPage);
  } else if (StorePage != nullptr && page == StorePage) {
    ShowPage(MeetingPage);
  } else if (page == MeetingPage) {
    ShowPage(TaskPage);
  } else if (page == TaskPage) {
    // The end of the run: the window closes (without the question) before the main window saves.
    Finished = true;
    TMainForm* form = MainForm();
    if (form == nullptr) return;
    QMetaObject::invokeMethod(form, &QWidget::close, Qt::QueuedConnection);
    if (form->parentWidget() != nullptr) {
      QCoreApplication::postEvent(form->parentWidget(), new QEvent(WM_SAVE_SETTINGS));
    }
  }
}

void TNewAgentInstaller::PreviousPage() {
  TGenericFrame* page = CurrentPage;
  if (page == ProviderPage) {
    ShowPage(WelcomePage);
  } else if (page == RegionPage || page == CustomPage) {
    ShowPage(ProviderPage);
  } else if (page == PersonalPage) {
    ShowPage(CarrierChoice() == settings::kCingularService ? static_cast<TGenericFrame*>(RegionPage)
                                                           : ProviderPage);
  } else if (page == MeetingPage) {
    ShowPage(StorePage != nullptr ? StorePage : AfterAddressPages());
  } else if (StorePage != nullptr && page == StorePage) {
    ShowPage(AfterAddressPages());
  } else if (page == TaskPage) {
    ShowPage(MeetingPage);
  }
}

}  // namespace ravenox::wizard

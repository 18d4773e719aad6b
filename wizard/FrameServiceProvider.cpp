#include "wizard/FrameServiceProvider.h"

#include "settings/Carriers.h"

namespace ravenox::wizard {

TServiceProvider::TServiceProvider(TBaseInstaller& installer) : TGenericFrame(installer) {
  Label1 = AddLabel("Select your celluar service provider from the list below. ", 16, 8, 369);
  Label3 = AddLabel(
      "You must have text messaging service from your service provider. Try sending a test "
      "message after configuration is completed and if you have problems contact them to verify "
      "that you have the service.",
      16, 24, 377, 65);
  QFont bold = WizardFace();
  bold.setBold(true);
  Label3->setFont(bold);
  rdoServiceProvider = new TRadioGroup("Service Provider", 2, this);
  rdoServiceProvider->setGeometry(16, 88, 369, 177);
  // What the layout lists until the page is first shown; replaced by the carrier table then.
  for (const char* caption : {"&AT&&T Wireless", "&Cingular Wireless", "&Nextel", "&PrimeCo",
                              "&Sprint PCS", "&Verizon Wireless", "VoiceS&tream"}) {
    rdoServiceProvider->Add(caption);
  }
  connect(rdoServiceProvider, &TRadioGroup::Click, this,
          &TServiceProvider::rdoServiceProviderClick);
  Label2 = AddLabel(
      "* Note: Your service provide may charge a nominal fee for each message sent. Please check "
      "with you provider for text messaging fees.",
      16, 272, 366);
  Label2->setFont(bold);
  QPalette red;
  red.setColor(QPalette::WindowText, Qt::red);
  Label2->setPalette(red);
  NextButton->setEnabled(false);
  Loaded();
}

void TServiceProvider::rdoServiceProviderClick() {
  NextButton->setEnabled(rdoServiceProvider->ItemIndex() != -1);
}

void TServiceProvider::PageShown() {
  TGenericFrame::PageShown();
  rdoServiceProvider->Clear();
  for (const char* caption : settings::CarrierCaptions) rdoServiceProvider->Add(caption);
  rdoServiceProvider->SetItemIndex(Settings().Service());
  FocusFirstInputUnlessNext();  // the selection just offered Next
}

void TServiceProvider::DoNext() {
  // Once the table is shown an entry is always selected; without one there is nothing to store.
  if (rdoServiceProvider->ItemIndex() < 0) return;
  Settings().SetService(static_cast<uint8_t>(rdoServiceProvider->ItemIndex()));
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard

#include "wizard/CinglarServiceSelectUnit.h"

#include "settings/Carriers.h"

namespace ravenox::wizard {

TCinglarServiceSelect::TCinglarServiceSelect(TBaseInstaller& installer) : TGenericFrame(installer) {
  Label1 = AddLabel("Select the region of the country you have Cingular Wireless service.", 8, 16);
  rdgrpCinglar = new TRadioGroup("", 1, this);
  rdgrpCinglar->setGeometry(32, 48, 361, 249);
  connect(rdgrpCinglar, &TRadioGroup::Click, this, &TCinglarServiceSelect::rdgrpCinglarClick);
  NextButton->setEnabled(false);
  Loaded();
}

void TCinglarServiceSelect::rdgrpCinglarClick() {
  NextButton->setEnabled(rdgrpCinglar->ItemIndex() != -1);
}

void TCinglarServiceSelect::PageShown() {
  TGenericFrame::PageShown();
  rdgrpCinglar->Clear();
  for (const char* region : settings::CingularRegions) rdgrpCinglar->Add(region);
  NextButton->setEnabled(false);
  FocusFirstInputUnlessNext();  // the entries it may have focused are new
}

void TCinglarServiceSelect::DoNext() {
  const int region = rdgrpCinglar->ItemIndex();
  if (region < 0) return;  // no region: the page stays and nothing is stored
  Settings().SetCustomAddr(settings::CingularRegionDomains[region]);
  TGenericFrame::DoNext();
}

}  // namespace ravenox::wizard

// The wizard's page "Your calendar and mail" on the local store's profile.
#pragma once

#include <filesystem>

#include "wizard/WizardHost.h"

namespace ravenox::shell {

class LocalStoreSetup final : public wizard::TStoreSetup {
 public:
  explicit LocalStoreSetup(std::filesystem::path profile);
  wizard::TStoreFields Load() override;
  std::string Save(const wizard::TStoreFields& fields) override;
  std::string SendTest(const wizard::TStoreFields& fields, const std::string& address) override;
  std::vector<Found> Suggestions() override;

 private:
  std::filesystem::path profile_;
};

}  // namespace ravenox::shell

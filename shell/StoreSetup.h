// The wizard's page "Your calendar and mail" on the local store's profile.
#pragma once

#include <filesystem>
#include <optional>

#include "wizard/WizardHost.h"

namespace ravenox::shell {

class LocalStoreSetup final : public wizard::TStoreSetup {
 public:
  explicit LocalStoreSetup(std::filesystem::path profile);
  wizard::TStoreFields Load() override;
  std::string Check(const wizard::TStoreFields& fields) override;
  std::vector<std::string> Unreadable(const wizard::TStoreFields& fields) override;
  void Keep(const wizard::TStoreFields& fields) override;
  std::string Commit() override;
  void Discard() override;
  std::string SendTest(const wizard::TStoreFields& fields, const std::string& address) override;
  std::vector<Found> Suggestions() override;
  std::vector<DesktopSource> DesktopSources() override;

 private:
  std::filesystem::path profile_;
  std::optional<wizard::TStoreFields> kept_;
  std::optional<std::vector<DesktopSource>> desktop_;  // asked once a run
};

}  // namespace ravenox::shell

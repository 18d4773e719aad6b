#include <gtest/gtest.h>

#include "EngineFakes.h"
#include "settings/Carriers.h"
#include "settings/SettingsHost.h"

namespace ravenox::settings {
namespace {

// The window's part of the host, which this test does not need.
class SettingsOnlyHost final : public TSettingsHost {
 public:
  using TSettingsHost::TSettingsHost;
  void SetStatusText(const std::string&) override {}
  void SetProcessorRunning(bool) override {}
  void ShowException(const std::string&) override {}
  bool IsApplicationMainWindow() const override { return true; }
};

TEST(GetPhoneAddress, EveryCarrier) {
  struct Case {
    int service;
    std::string pin, custom, expected;
  };
  const std::string pin = "5551234567";
  const Case cases[] = {
      {0, pin, "x@y", pin + "@mobile.att.net"},
      {1, pin, "x@y", pin + "@mobile.mycingular.com"},
      {2, pin, "x@y", pin + "@messaging.nextel.com"},
      {3, pin, "x@y", pin + "@email.uscc.net"},
      {4, pin, "x@y", pin + "@messaging.sprintpcs.com"},
      {5, pin, "x@y", pin + "@vtext.com"},
      {6, pin, "x@y", pin + "@voicestream.net"},
      {7, pin, "x@y", pin + "@qwestmp.com"},
      {8, pin, "  pager@example.org ", "  pager@example.org "},  // as stored, blanks included
      {9, pin, "x@y", ""},
      {44, pin, "x@y", ""},
      {255, pin, "x@y", ""},
      {4, "", "", "@messaging.sprintpcs.com"},  // fresh installation
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.service);
    TSettings settings;
    settings.SetService(static_cast<uint8_t>(c.service));
    settings.SetPin(c.pin);
    settings.SetCustomEmail(c.custom);
    std::string address;
    GetPhoneAddress(settings, address);
    EXPECT_EQ(address, c.expected);
    // The engine asks through its host.
    SettingsOnlyHost host_view(settings);
    engine::ProcessorHost& host = host_view;
    std::string via_host;
    host.GetPhoneAddress(via_host);
    EXPECT_EQ(via_host, c.expected);
  }
}

TEST(GetPhoneAddress, OutsideTheTableLeavesTheArgumentAlone) {
  std::string address = "untouched";
  GetPhoneAddress(9, "1", "", address);
  EXPECT_EQ(address, "untouched");
}

TEST(Carriers, TablesHaveTheirShape) {
  EXPECT_STREQ(CarrierDomains[1], "");
  EXPECT_STREQ(CarrierDomains[8], "");
  for (const char* d : CingularRegionDomains) EXPECT_STREQ(d, CingularRegionDomains[0]);
  EXPECT_STREQ(CarrierCaptions[0], "&AT&&T Wireless");
  EXPECT_STREQ(CarrierCaptions[6], "VoiceS&tream");
}

}  // namespace
}  // namespace ravenox::settings

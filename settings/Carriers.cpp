#include "settings/Carriers.h"

namespace ravenox::settings {

void GetPhoneAddress(uint8_t service, const std::string& pin, const std::string& custom_email,
                     std::string& address) {
  if (service == kOtherService) {
    address = custom_email;
  } else if (service == kCingularService) {
    // All regions share one gateway, so the region chosen does not change the address.
    address = pin + "@" + CingularRegionDomains[0];
  } else if (service < kCarrierCount) {
    address = pin + "@" + CarrierDomains[service];
  }
}

void GetPhoneAddress(const TSettings& settings, std::string& address) {
  const uint8_t service = settings.Service();
  if (service >= kCarrierCount) return;
  GetPhoneAddress(service, settings.Pin(), settings.CustomEmail(), address);
}

}  // namespace ravenox::settings

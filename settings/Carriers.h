// The carriers offered by the wizard, their e-mail-to-text gateways, and the phone's address.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "settings/Settings.h"

namespace ravenox::settings {

inline constexpr int kCarrierCount = 9;
inline constexpr int kCingularService = 1;
inline constexpr int kOtherService = 8;

// "&" marks the accelerator, "&&" is one ampersand.
inline constexpr std::array<const char*, kCarrierCount> CarrierCaptions = {
    "&AT&&T Wireless",
    "&Cingular Wireless",
    "&Nextel",
    "&PrimeCo",
    "&Sprint PCS",
    "&Verizon Wireless",
    "VoiceS&tream",
    "&Qwest",
    "&Other (including Text Pagers)",
};

// Cingular's domain comes from the region table; "Other" has the user give the whole address.
inline constexpr std::array<const char*, kCarrierCount> CarrierDomains = {
    "mobile.att.net",
    "",
    "messaging.nextel.com",
    "email.uscc.net",
    "messaging.sprintpcs.com",
    "vtext.com",
    "voicestream.net",
    "qwestmp.com",
    "",
};

inline constexpr std::array<const char*, 6> CingularRegions = {
    "Alabama, Florida, Georgia, Indiana, Kentucky and Louisiana",
    "Mississippi, North Carolina, South Carolina and Tennesse",
    "Houston, Texas",
    "Michigan, Ohio and Wisconsin",
    "Delaware, New Jersey and Pennsylvania",
    "All other states and All other cities in Texas, excluding Houston",
};

inline constexpr std::array<const char*, 6> CingularRegionDomains = {
    "mobile.mycingular.com", "mobile.mycingular.com", "mobile.mycingular.com",
    "mobile.mycingular.com", "mobile.mycingular.com", "mobile.mycingular.com",
};

// Composes the phone's address into `address`: Pin "@" the carrier's domain, CustomEmail as it
// stands for "Other", and nothing at all (the argument untouched) for a carrier outside the table.
void GetPhoneAddress(uint8_t service, const std::string& pin, const std::string& custom_email,
                     std::string& address);
void GetPhoneAddress(const TSettings& settings, std::string& address);

}  // namespace ravenox::settings

// The main window's private messages, by number. The wizard posts two of them to its parent (the
// window, which includes the wizard); the numbers are the contract between the two, so they live
// here, below the window, without any toolkit type.
#pragma once

namespace ravenox::wizard {

inline constexpr int kUserMessage = 1024;
inline constexpr int kOpenWizardMessage = kUserMessage + 20;
inline constexpr int kReloadSettingsMessage = kUserMessage + 21;
inline constexpr int kSaveSettingsMessage = kUserMessage + 22;
inline constexpr int kStartProcessorMessage = kUserMessage + 23;
inline constexpr int kTrayNotifyMessage = kUserMessage + 24;

}  // namespace ravenox::wizard

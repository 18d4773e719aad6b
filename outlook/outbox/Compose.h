// Composing the message for the phone: every header written by us from plain values, so nothing in
// a meeting's or a mail's text can add a header or a recipient, and read back before it is sent.
#pragma once

#include <string>

namespace outlook::outbox {

// One plain address: no name, no list, nothing that reads as an option to a program.
bool ValidAddress(const std::string& address);

// Header text as it may stand in a header: control characters (CR, LF, ...) become blanks, so no
// text from a meeting or a mail can add a header or a recipient.
std::string HeaderSafe(const std::string& text);

// The message as it is written to the outbox.
std::string ComposeMessage(const std::string& from, const std::string& to,
                           const std::string& subject, const std::string& body);

}  // namespace outlook::outbox

// Delivery status notifications (RFC 3464): the report a mail system sends back when it could not
// deliver a message, as a carrier's closed e-mail-to-text gateway does.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace outlook::outbox {

struct Bounce {
  std::string original_id;  // the Message-ID of the message that was not delivered, without <>
  struct Failure {
    std::string recipient;  // the address that refused it
    std::string reason;     // the remote server's words, else the status code; fit for display
  };
  std::vector<Failure> failures;  // each recipient that failed, in the report's order
};

// The failures a message reports, when it is a delivery status notification saying a recipient
// failed; none for any other message (a delay, a success, an ordinary mail).
std::optional<Bounce> ReadBounce(const std::string& message);

// Whether the start of a message looks like a delivery report, without parsing it.
bool MayBeBounce(const std::string& head);

}  // namespace outlook::outbox

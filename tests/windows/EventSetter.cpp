// The second process of the wake event's test: opens the event named on the command line and
// sets it. Exit 0 when it could.
#include <string>

#include "platform/WakeEvent.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string note;
  auto event = ravenox::platform::OpenNamedEvent(argv[1], note);
  event->Set();
  return note.empty() ? 0 : 1;
}

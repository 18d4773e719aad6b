#include "platform/ComApartment.h"

namespace ravenox::platform {

std::shared_ptr<ComApartment> SystemComApartment() {
  return std::make_shared<NullComApartment>();
}

}  // namespace ravenox::platform

#include "platform/ComApartment.h"

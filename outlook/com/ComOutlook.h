// The object model over Outlook's automation server: each object of OutlookModel.h calls its
// Outlook counterpart through IDispatch, by the DispIDs of dispids.h.
#pragma once

#include "outlook/OutlookApplication.h"
#include "outlook/com/Dispatch.h"

namespace outlook::com {

// The application over an automation object. `started`: this connection started Outlook (no
// Outlook was running), so its Quit ends that Outlook; one the user already had open is left
// running.
std::shared_ptr<Application> WrapApplication(Object application, bool started);

// Connects to the running Outlook (GetActiveObject), or starts one (CoCreateInstance of the class
// the ProgID "Outlook.Application" names). Call it on a thread inside its COM apartment; throws
// AutomationError with the system's words when neither can be had.
std::shared_ptr<Application> ConnectOutlook();

// A connector for TOutlookApplication.
Connector OutlookConnector();

}  // namespace outlook::com

// The dispatch identifiers of every member the engine calls: the contract the Windows binding
// calls through IDispatch::Invoke.
#pragma once

namespace outlook::dispid {

// Connection object
inline constexpr const char* kApplicationClsid = "{0006F033-0000-0000-C000-000000000046}";
inline constexpr const char* kApplicationIid = "{00063001-0000-0000-C000-000000000046}";

// Application
inline constexpr int GetNamespace = 0x110;
inline constexpr int CreateItem = 0x10A;
inline constexpr int Quit = 0x113;

// Name space, folders, collections
inline constexpr int GetDefaultFolder = 0x210B;
inline constexpr int Items = 0x3100;
inline constexpr int UnReadItemCount = 0x3603;
inline constexpr int Count = 0x50;
inline constexpr int Item = 0x51;

// Appointment
inline constexpr int Subject = 0x37;
inline constexpr int Start = 0x820D;
inline constexpr int Location = 0x8208;
inline constexpr int Body = 0x9100;
inline constexpr int AppointmentIsRecurring = 0x8223;
inline constexpr int GetRecurrencePattern = 0xF0A4;
inline constexpr int ReminderMinutesBeforeStart = 0x8501;
inline constexpr int AllDayEvent = 0x8215;
inline constexpr int MeetingStatus = 0x8217;
inline constexpr int ResponseStatus = 0x8218;

// Recurrence pattern
inline constexpr int RecurrenceType = 0x1007;
inline constexpr int Interval = 0x1004;
inline constexpr int DayOfWeekMask = 0x1001;
inline constexpr int DayOfMonth = 0x1000;
inline constexpr int MonthOfYear = 0x1006;
inline constexpr int Occurrences = 0x1005;
inline constexpr int PatternStartDate = 0x1008;
inline constexpr int PatternEndDate = 0x1002;
inline constexpr int NoEndDate = 0x100B;
inline constexpr int StartTime = 0x1009;
inline constexpr int Instance = 0x1003;
// GetOccurrence, Exceptions and the Exception object's OriginalDate, Deleted and AppointmentItem
// are looked up by name (IDispatch::GetIDsOfNames) when the binding first calls them.

// Task
inline constexpr int StartDate = 0x8104;
inline constexpr int DueDate = 0x8105;
inline constexpr int ReminderSet = 0x8503;
inline constexpr int ReminderTime = 0x8502;
inline constexpr int Complete = 0x811C;
inline constexpr int TaskIsRecurring = 0xF617;
inline constexpr int SkipRecurrence = 0xF624;

// Mail
inline constexpr int UnRead = 0xF01C;
inline constexpr int Importance = 0x17;
inline constexpr int ReceivedTime = 0xE06;
inline constexpr int SenderName = 0xC1A;
inline constexpr int To = 0xE04;
inline constexpr int Send = 0xF075;

}  // namespace outlook::dispid

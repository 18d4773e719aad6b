#include "outlook/ical/Rules.h"

#include <algorithm>
#include <optional>

namespace outlook::ical {
namespace {

int WeekdayBit(int day_of_week) {
  return 1 << (day_of_week - 1);
}  // Sunday 1 ... Saturday 64

bool HasAny(const short* array, int size) {
  return size > 0 && array[0] != ICAL_RECURRENCE_ARRAY_MAX;
}
int CountOf(const short* array, int size) {
  int n = 0;
  while (n < size && array[n] != ICAL_RECURRENCE_ARRAY_MAX) ++n;
  return n;
}

// Walking a rule costs at most this many steps, and goes no further than this many years from
// now: a series that runs on beyond that is endless for a program that looks three days ahead.
constexpr int kMaxRuleSteps = 5000;
constexpr int kHorizonYears = 50;

int DaysInMonth(int month) {
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month >= 1 && month <= 12 ? kDays[month - 1] : 0;
}

}  // namespace

bool Impossible(const PatternData& pattern) {
  return pattern.type == 5 && pattern.day_of_month > DaysInMonth(pattern.month_of_year);
}

icalrecurrencetype Normalized(icalrecurrencetype r, const LocalTime& start) {
  if (!icaltime_is_null_time(r.until) && !r.until.is_date && icaltime_is_utc(r.until) &&
      !start.raw.is_date && start.zone != icaltimezone_get_utc_timezone()) {
    const time_t end = icaltime_as_timet_with_zone(r.until, icaltimezone_get_utc_timezone());
    if (start.zone != nullptr) {
      r.until = icaltime_from_timet_with_zone(end, 0, start.zone);
    } else {
      std::tm tm{};
      localtime_r(&end, &tm);
      r.until = icaltime_null_time();
      r.until.year = tm.tm_year + 1900;
      r.until.month = tm.tm_mon + 1;
      r.until.day = tm.tm_mday;
      r.until.hour = tm.tm_hour;
      r.until.minute = tm.tm_min;
      r.until.second = tm.tm_sec;
    }
    r.until.zone = nullptr;
  }
  if (!icaltime_is_null_time(r.until) && r.until.is_date && !start.raw.is_date) {
    r.until.is_date = 0;
    r.until.hour = 23;
    r.until.minute = 59;
    r.until.second = 59;
  }
  return r;
}

namespace {

// Walks the rule from the start; `stop` says when an occurrence is far enough. Returns the number
// of occurrences met (the last one in `last`), or -1 when the walk was cut short by its bounds.
template <typename Stop>
int WalkRule(const icalrecurrencetype& r, const LocalTime& start, icaltimetype& last, Stop stop) {
  const time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  const int horizon = tm.tm_year + 1900 + kHorizonYears;
  icalrecur_iterator* it = icalrecur_iterator_new(Normalized(r, start), start.raw);
  if (it == nullptr) return -1;
  int n = 0;
  bool cut = true;
  for (int step = 0; step < kMaxRuleSteps; ++step) {
    const icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t)) {
      cut = false;
      break;
    }
    if (t.year > horizon) break;
    last = t;
    ++n;
    if (stop(n)) {
      cut = false;
      break;
    }
  }
  icalrecur_iterator_free(it);
  return cut ? -1 : n;
}

// A weekly rule by arithmetic: the days of the mask in every interval-th week, counted from the
// week (as the rule's week start has it) of the first day; a first day that is not a day of the
// rule is no occurrence (as libical has it).
struct WeeklyDays {
  double first, week0;  // the first day, and the start of its week
  int mask, per_week, interval;

  static std::optional<WeeklyDays> Of(const PatternData& p) {
    if (p.type != 1 || p.day_of_week_mask == 0 || p.interval < 1) return std::nullopt;
    // libical counts the weeks of a rule with an interval from a Sunday or a Monday as written;
    // with another week start it goes its own way, and is walked.
    if (p.interval > 1 && p.first_day_of_week != 1 && p.first_day_of_week != 2) return std::nullopt;
    const double first = p.pattern_start_date.Value();
    const int wkst = p.first_day_of_week >= 1 && p.first_day_of_week <= 7 ? p.first_day_of_week : 2;
    WeeklyDays w{first, first - ((ravenox::DayOfWeek(first) - wkst + 7) % 7), p.day_of_week_mask,
                 __builtin_popcount(static_cast<unsigned>(p.day_of_week_mask)), p.interval};
    return w;
  }
  static bool InMaskDay(int mask, double day) {
    return (mask >> (ravenox::DayOfWeek(day) - 1)) & 1;
  }
  // Days of the mask from `from` to `to`, both within one week.
  int Between(double from, double to) const {
    int n = 0;
    for (double d = from; d <= to; d += 1.0) n += InMaskDay(mask, d) ? 1 : 0;
    return n;
  }
  // The `count`-th occurrence (from 1).
  double Nth(long long count) const {
    const long long k0 = Between(first, week0 + 6);
    double d = first;
    long long left = count;
    if (count > k0) {
      left = count - k0;
      const long long w = (left - 1) / per_week + 1;  // active weeks after the first one
      left -= (w - 1) * per_week;
      d = week0 + 7.0 * static_cast<double>(interval * w);
    }
    for (int i = 0; i < 7; ++i, d += 1.0) {
      if (InMaskDay(mask, d) && --left == 0) return d;
    }
    return 0.0;
  }
  // Occurrences on days up to `last`.
  long long Until(double last) const {
    if (last < first) return 0;
    if (last <= week0 + 6) return Between(first, last);
    const long long k0 = Between(first, week0 + 6);
    const auto j = static_cast<long long>((last - week0) / (7.0 * interval));  // last week begun
    if (j < 1) return k0;
    const double ws = week0 + 7.0 * static_cast<double>(interval * j);
    return k0 + (j - 1) * per_week + Between(ws, std::min(ws + 6, last));
  }
};

// A monthly or yearly rule on a day every month has (the 28th or before): every interval-th month
// (twelve for a yearly rule) counted from the first day's, on that day, the first of them on or
// after the first day. Months are numbered year * 12 + month - 1.
struct MonthSteps {
  long long first;
  long long step;
  int day;

  static std::optional<MonthSteps> Of(const PatternData& p) {
    if ((p.type != 2 && p.type != 5) || p.interval < 1) return std::nullopt;
    if (p.day_of_month < 1 || p.day_of_month > 28) return std::nullopt;
    if (p.type == 5 && (p.month_of_year < 1 || p.month_of_year > 12)) return std::nullopt;
    const ravenox::DateParts f = ravenox::DecodeDateTime(p.pattern_start_date);
    const int month = p.type == 5 ? p.month_of_year : f.month;
    MonthSteps m{f.year * 12LL + (month - 1), p.type == 5 ? 12LL * p.interval : p.interval,
                 p.day_of_month};
    if (month < f.month || (month == f.month && m.day < f.day)) m.first += m.step;
    return m;
  }
  double Nth(long long count) const {
    const long long months = first + (count - 1) * step;
    if (months / 12 > 9999) return 0.0;
    return ravenox::EncodeDate(static_cast<int>(months / 12), static_cast<int>(months % 12) + 1,
                               day)
        .Value();
  }
  long long Until(double last) const {
    const ravenox::DateParts l = ravenox::DecodeDateTime(last);
    long long months = l.year * 12LL + (l.month - 1);
    if (l.day < day) --months;  // that month's day is after the last day
    return months < first ? 0 : (months - first) / step + 1;
  }
};

// A monthly or yearly rule on the n-th (or last) of some weekdays: every interval-th month (twelve
// for a yearly rule) counted from the first day's has exactly one such day; the first of them that
// is not before the first day is the first occurrence.
struct NthSteps {
  long long month0;  // the first day's month (a yearly rule: its month that year)
  long long step;
  int instance, mask;
  double first;
  long long skip;  // 1 when the first month's day lies before the first day

  static int Day(long long months, int instance, int mask) {
    const int year = static_cast<int>(months / 12), month = static_cast<int>(months % 12) + 1;
    const int days = ravenox::DaysInMonth(year, month);
    const double first = ravenox::EncodeDate(year, month, 1).Value();
    auto in = [&](int d) { return (mask >> (ravenox::DayOfWeek(first + (d - 1)) - 1)) & 1; };
    if (instance == 5) {
      for (int d = days; d >= 1; --d)
        if (in(d)) return d;
      return 0;
    }
    int met = 0;
    for (int d = 1; d <= days; ++d)
      if (in(d) && ++met == instance) return d;
    return 0;
  }
  double Date(long long months) const {
    return ravenox::EncodeDate(static_cast<int>(months / 12), static_cast<int>(months % 12) + 1,
                               Day(months, instance, mask))
        .Value();
  }
  static std::optional<NthSteps> Of(const PatternData& p) {
    if ((p.type != 3 && p.type != 6) || p.interval < 1) return std::nullopt;
    if (p.instance < 1 || p.instance > 5 || (p.day_of_week_mask & 127) == 0) return std::nullopt;
    if (p.type == 6 && (p.month_of_year < 1 || p.month_of_year > 12)) return std::nullopt;
    const ravenox::DateParts f = ravenox::DecodeDateTime(p.pattern_start_date);
    NthSteps n{f.year * 12LL + ((p.type == 6 ? p.month_of_year : f.month) - 1),
               p.type == 6 ? 12LL * p.interval : p.interval,
               p.instance,
               p.day_of_week_mask & 127,
               p.pattern_start_date.Value(),
               0};
    // Every month has its first to fourth and its last such day.
    if (Day(n.month0, n.instance, n.mask) == 0) return std::nullopt;
    n.skip = n.Date(n.month0) < n.first ? 1 : 0;
    return n;
  }
  double Nth(long long count) const {
    const long long months = month0 + (skip + count - 1) * step;
    if (months / 12 > 9999) return 0.0;
    return Date(months);
  }
  long long Until(double last) const {
    const ravenox::DateParts l = ravenox::DecodeDateTime(last);
    const long long months = l.year * 12LL + (l.month - 1);
    if (months < month0) return 0;
    long long k = (months - month0) / step;
    if (Date(month0 + k * step) > last) --k;
    return k < skip ? 0 : k - skip + 1;
  }
};

// The day, in the series' calendar, of the last occurrence of a counted series, or 0 when it lies
// beyond the horizon (or the engine never expands the rule).
TDateTime LastOccurrenceDay(const icalrecurrencetype& r, const LocalTime& start,
                            const PatternData& pattern) {
  const double first = pattern.pattern_start_date.Value();
  const long long count = r.count;
  if (pattern.type == 0 && pattern.day_of_week_mask == 0)
    return first + static_cast<double>((count - 1) * pattern.interval);
  if (pattern.type == 0 && pattern.interval == 1) {
    // The count-th day whose weekday is in the mask: whole weeks at once, then day by day.
    const int mask = pattern.day_of_week_mask;
    const long long per_week = __builtin_popcount(static_cast<unsigned>(mask));
    long long left = count;
    double d = first;
    if (left > per_week) {
      const long long weeks = (left - 1) / per_week;
      d += static_cast<double>(weeks * 7);
      left -= weeks * per_week;
    }
    for (int guard = 0; guard < 14; ++guard, d += 1.0) {
      if (((mask >> (ravenox::DayOfWeek(d) - 1)) & 1) && --left == 0) return d;
    }
    return 0.0;
  }
  if (const auto weekly = WeeklyDays::Of(pattern)) return weekly->Nth(count);
  if (const auto monthly = MonthSteps::Of(pattern)) return monthly->Nth(count);
  if (const auto nth = NthSteps::Of(pattern)) return nth->Nth(count);
  if (pattern.type == kNoExpansion || Impossible(pattern)) return 0.0;
  icaltimetype last = icaltime_null_time();
  if (WalkRule(r, start, last, [&](int n) { return n >= count; }) < 0) return 0.0;
  if (icaltime_is_null_time(last)) return 0.0;
  return ravenox::EncodeDate(last.year, last.month, last.day);
}

// How many occurrences a series that runs until its end day has: Outlook keeps Occurrences and
// the end date consistent.
int OccurrencesUntil(const icalrecurrencetype& r, const LocalTime& start,
                     const PatternData& pattern) {
  if (pattern.type == kNoExpansion) return 0;
  const double first = pattern.pattern_start_date.Value();
  const double last = pattern.pattern_end_date.Value();
  if (last < first) return 0;
  const auto clamped = [](long long n) {
    return static_cast<int>(std::min<long long>(n, std::numeric_limits<int>::max()));
  };
  const auto days = static_cast<long long>(last - first);  // days after the first
  if (pattern.type == 0 && pattern.day_of_week_mask == 0)
    return clamped(days / pattern.interval + 1);
  if (pattern.type == 0 && pattern.interval == 1) {
    // Every day whose weekday is in the mask: whole weeks, then the days left over.
    const int mask = pattern.day_of_week_mask;
    long long n = (days + 1) / 7 * __builtin_popcount(static_cast<unsigned>(mask));
    for (double d = first + static_cast<double>((days + 1) / 7 * 7); d <= last; d += 1.0)
      if ((mask >> (ravenox::DayOfWeek(d) - 1)) & 1) ++n;
    return clamped(n);
  }
  if (const auto weekly = WeeklyDays::Of(pattern)) return clamped(weekly->Until(last));
  if (const auto monthly = MonthSteps::Of(pattern)) return clamped(monthly->Until(last));
  if (const auto nth = NthSteps::Of(pattern)) return clamped(nth->Until(last));
  // Otherwise counted one by one, within bounds (beyond them, as far as counted).
  if (Impossible(pattern)) return 0;
  icaltimetype met = icaltime_null_time();
  const int n = WalkRule(r, start, met, [](int) { return false; });
  return n >= 0 ? n : kMaxRuleSteps;
}

// The position (1-4, or 5 for the last) a BYDAY or BYSETPOS entry gives, or 0 when Outlook's
// patterns have none like it.
int InstanceOf(int position) {
  if (position >= 1 && position <= 4) return position;
  return position == -1 ? 5 : 0;
}

}  // namespace

void MapRule(icalcomponent* c, const LocalTime& start, PatternData& pattern) {
  icalproperty* rp = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY);
  const icalrecurrencetype r = icalproperty_get_rrule(rp);
  pattern.interval = r.interval > 0 ? r.interval : 1;
  pattern.start_time = WallClock(start.raw);
  pattern.pattern_start_date = ravenox::DateOf(pattern.start_time);
  pattern.zone = start.zone;
  if (r.week_start >= ICAL_SUNDAY_WEEKDAY && r.week_start <= ICAL_SATURDAY_WEEKDAY)
    pattern.first_day_of_week = static_cast<int>(r.week_start);
  const ravenox::DateParts s = ravenox::DecodeDateTime(pattern.start_time);

  const int days = CountOf(r.by_day, ICAL_BY_DAY_SIZE);
  int mask = 0;
  int positioned = 0, position = 0;
  for (int i = 0; i < days; ++i) {
    if (const int pos = icalrecurrencetype_day_position(r.by_day[i]); pos != 0) {
      ++positioned;
      position = pos;
    }
    mask |= WeekdayBit(static_cast<int>(icalrecurrencetype_day_day_of_week(r.by_day[i])));
  }
  const bool by_time = HasAny(r.by_second, ICAL_BY_SECOND_SIZE) ||
                       HasAny(r.by_minute, ICAL_BY_MINUTE_SIZE) ||
                       HasAny(r.by_hour, ICAL_BY_HOUR_SIZE);
  const bool by_year_or_week =
      HasAny(r.by_year_day, ICAL_BY_YEARDAY_SIZE) || HasAny(r.by_week_no, ICAL_BY_WEEKNO_SIZE);
  const int set_positions = CountOf(r.by_set_pos, ICAL_BY_SETPOS_SIZE);
  const int month_days = CountOf(r.by_month_day, ICAL_BY_MONTHDAY_SIZE);
  const int months = CountOf(r.by_month, ICAL_BY_MONTH_SIZE);

  // The n-th of the masked weekdays of a month: "2WE", or "MO,TU,WE,TH,FR" with BYSETPOS=-1.
  int instance = 0;
  if (days == 1 && positioned == 1 && set_positions == 0) {
    instance = InstanceOf(position);
  } else if (days >= 1 && positioned == 0 && set_positions == 1) {
    instance = InstanceOf(r.by_set_pos[0]);
  }

  auto no_expansion = [&](const char* why) {
    pattern.type = kNoExpansion;
    pattern.why_no_expansion = why;
  };
  const bool limited = by_time || by_year_or_week || set_positions > 0;
  switch (r.freq) {
    case ICAL_DAILY_RECURRENCE:
    case ICAL_WEEKLY_RECURRENCE: {
      const bool daily = r.freq == ICAL_DAILY_RECURRENCE;
      if (limited || month_days > 0 || months > 0 || positioned > 0) {
        no_expansion(daily ? "a daily rule limited by more than weekdays"
                           : "a weekly rule limited by more than weekdays");
      } else {
        pattern.type = daily ? 0 : 1;
        pattern.day_of_week_mask =
            days > 0 || daily ? mask : WeekdayBit(ravenox::DayOfWeek(pattern.start_time));
      }
      break;
    }
    case ICAL_MONTHLY_RECURRENCE:
      if (by_time || by_year_or_week || months > 0) {
        no_expansion("a monthly rule limited by months or times of day");
      } else if (days > 0) {
        if (instance == 0 || month_days > 0) {
          no_expansion("several weekdays of a month");
        } else {
          pattern.type = 3;
          pattern.day_of_week_mask = mask;
          pattern.instance = instance;
        }
      } else if (set_positions > 0 || month_days > 1) {
        no_expansion("several days of a month");
      } else if (month_days == 1 && r.by_month_day[0] == -1) {
        pattern.type = 3;  // the last day of the month
        pattern.day_of_week_mask = 127;
        pattern.instance = 5;
      } else if (month_days == 1 && r.by_month_day[0] < 1) {
        no_expansion("a day counted from the end of the month");
      } else {
        pattern.type = 2;
        pattern.day_of_month = month_days == 1 ? r.by_month_day[0] : s.day;
      }
      break;
    case ICAL_YEARLY_RECURRENCE:
      if (by_time || by_year_or_week || months > 1) {
        no_expansion("several months or days of the year");
      } else if (days > 0) {
        if (instance == 0 || month_days > 0 || months == 0) {
          no_expansion("several weekdays, or a weekday of the year");
        } else {
          pattern.type = 6;
          pattern.day_of_week_mask = mask;
          pattern.instance = instance;
          pattern.month_of_year = r.by_month[0];
        }
      } else if (set_positions > 0 || month_days > 1 ||
                 (month_days == 1 && r.by_month_day[0] < 1)) {
        no_expansion("several months or days of the year");
      } else {
        pattern.type = 5;
        pattern.month_of_year = months == 1 ? r.by_month[0] : s.month;
        pattern.day_of_month = month_days == 1 ? r.by_month_day[0] : s.day;
      }
      break;
    default:
      no_expansion("a rule repeating within a day");
      break;
  }

  if (r.count > 0) {
    pattern.no_end_date = false;
    pattern.occurrences = r.count;
    pattern.pattern_end_date = LastOccurrenceDay(r, start, pattern);
  } else if (!icaltime_is_null_time(r.until)) {
    pattern.no_end_date = false;
    // The last day, in the series' calendar, on which an occurrence starts by the end.
    TDateTime until;
    if (r.until.is_date) {
      until = WallClock(r.until) + (86399.0 / 86400.0);  // a date includes the whole day
    } else if (icaltime_is_utc(r.until) && start.zone != nullptr) {
      until = WallClock(icaltime_from_timet_with_zone(
          icaltime_as_timet_with_zone(r.until, icaltimezone_get_utc_timezone()), 0, start.zone));
    } else if (icaltime_is_utc(r.until)) {
      until = LocalFromUnix(icaltime_as_timet_with_zone(r.until, icaltimezone_get_utc_timezone()));
    } else {
      until = WallClock(r.until);
    }
    TDateTime last = ravenox::DateOf(until);
    if (!start.is_date && ravenox::TimeOf(until) < ravenox::TimeOf(pattern.start_time))
      last = last - 1.0;
    pattern.pattern_end_date = last;
    pattern.occurrences = OccurrencesUntil(r, start, pattern);
  } else {
    pattern.no_end_date = true;
  }
}

icaltimetype RuleOccurrenceOn(icalcomponent* c, const LocalTime& start, TDateTime day) {
  const TDateTime wanted = ravenox::DateOf(day);
  // A walk from the day itself, or for a counted series from its start.
  icalproperty* rp = icalcomponent_get_first_property(c, ICAL_RRULE_PROPERTY);
  const icalrecurrencetype rule = Normalized(icalproperty_get_rrule(rp), start);
  icalrecur_iterator* it = icalrecur_iterator_new(rule, start.raw);
  if (it == nullptr) return icaltime_null_time();
  if (rule.count == 0) {
    icaltimetype from = start.raw;
    const ravenox::DateParts w = ravenox::DecodeDateTime(wanted);
    from.year = w.year;
    from.month = w.month;
    from.day = w.day;
    from.hour = from.minute = from.second = 0;
    if (icaltime_compare(from, start.raw) > 0) icalrecur_iterator_set_start(it, from);
  }
  icaltimetype found = icaltime_null_time();
  for (int step = 0; step < kMaxCountWalk; ++step) {
    const icaltimetype t = icalrecur_iterator_next(it);
    if (icaltime_is_null_time(t)) break;
    const TDateTime d = ravenox::EncodeDate(t.year, t.month, t.day);
    if (d == wanted) found = t;
    if (d >= wanted) break;
  }
  icalrecur_iterator_free(it);
  return found;
}

}  // namespace outlook::ical

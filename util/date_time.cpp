#include "util/date_time.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/exception.h"
#include "util/text.h"

namespace vt {

const std::array<std::string_view, 7> DayNames = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                  "Thursday", "Friday", "Saturday"};
const std::array<std::string_view, 7> ShortDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const std::array<std::string_view, 12> MonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const std::array<std::string_view, 12> LongMonthNames = {"January",   "February", "March",    "April",
                                                         "May",       "June",     "July",     "August",
                                                         "September", "October",  "November", "December"};

const std::array<TTimeZoneEntry, 35> TimeZoneTable = {{
    {"GMT", 0},    {"UT", 0},     {"EST", -300}, {"EDT", -240}, {"CST", -360}, {"CDT", -300}, {"MST", -420},
    {"MDT", -360}, {"PST", -480}, {"PDT", -420}, {"Z", 0},      {"A", -60},    {"B", -120},   {"C", -180},
    {"D", -240},   {"E", -300},   {"F", -360},   {"G", -420},   {"H", -480},   {"I", -540},   {"K", -600},
    {"L", -660},   {"M", -720},   {"N", 60},     {"O", 120},    {"P", 180},    {"Q", 240},    {"R", 300},
    {"S", 360},    {"T", 420},    {"U", 480},    {"V", 540},    {"W", 600},    {"X", 660},    {"Y", 720},
}};

namespace {

constexpr int64_t kMillisecondsPerDay = 86400000;
constexpr int kSecondsPerDay = 86400;

// Days from 1 January 1970 to the given proleptic Gregorian date (the civil
// calendar algorithm published by Howard Hinnant).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(int64_t days, TDateTimeParts& parts) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t shifted_month = (5 * day_of_year + 2) / 153;
  parts.day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  parts.month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  parts.year = static_cast<int>(year_of_era + era * 400 + (parts.month <= 2 ? 1 : 0));
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Days since 30 December 1899 for a date known to be valid.
TDateTime DaySerial(int year, int month, int day) {
  return static_cast<TDateTime>(DaysFromCivil(year, month, day)) + kUnixEpochDateTime;
}

TDateTime FromLocalTm(const std::tm& local, int millisecond) {
  // A leap second (tm_sec 60) is shown as the last second of its minute.
  const int second = std::min(local.tm_sec, 59);
  const int64_t ms = ((local.tm_hour * 60 + local.tm_min) * 60 + second) * int64_t{1000} + millisecond;
  return DaySerial(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         static_cast<TDateTime>(ms) / static_cast<TDateTime>(kMillisecondsPerDay);
}

std::string TwoDigits(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

const ByteSet& Whitespace() {
  static const ByteSet set = ByteSet::Whitespace();
  return set;
}

int IndexIn(std::string_view text, const std::string_view* names, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (TextEqualFolded(names[i], text)) return static_cast<int>(i) + 1;
  }
  return -1;
}

int DecimalOrZero(std::string_view text) { return TextToIntOr(text, 0); }

TDateTime DateFromParts(int year, int month, int day, TDateTime time_of_day) {
  return EncodeDate(year, month, day) + time_of_day;
}

}  // namespace

// ---- Calendar -----------------------------------------------------------------

bool IsValidDate(int year, int month, int day) {
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

TDateTime EncodeDate(int year, int month, int day) {
  if (!IsValidDate(year, month, day)) {
    char text[96];
    std::snprintf(text, sizeof text, "Invalid date: %04d-%02d-%02d", year, month, day);
    throw EConvertError(text);
  }
  return DaySerial(year, month, day);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999) {
    char text[96];
    std::snprintf(text, sizeof text, "Invalid time: %02d:%02d:%02d.%03d", hour, minute, second, millisecond);
    throw EConvertError(text);
  }
  const int64_t ms = ((hour * 60 + minute) * 60 + second) * int64_t{1000} + millisecond;
  return static_cast<TDateTime>(ms) / static_cast<TDateTime>(kMillisecondsPerDay);
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  // Far beyond the calendar's years the value means nothing; keep the
  // arithmetic below in range instead of producing undefined results.
  if (!std::isfinite(value)) value = 0;
  value = std::clamp(value, -1e9, 1e9);

  const int64_t total_ms = std::llround(value * static_cast<double>(kMillisecondsPerDay));
  const int64_t days = FloorDiv(total_ms, kMillisecondsPerDay);
  int64_t ms_of_day = FloorMod(total_ms, kMillisecondsPerDay);

  TDateTimeParts parts;
  CivilFromDays(days - static_cast<int64_t>(kUnixEpochDateTime), parts);
  parts.millisecond = static_cast<int>(ms_of_day % 1000);
  ms_of_day /= 1000;
  parts.second = static_cast<int>(ms_of_day % 60);
  ms_of_day /= 60;
  parts.minute = static_cast<int>(ms_of_day % 60);
  parts.hour = static_cast<int>(ms_of_day / 60);
  // Day 0 (30 December 1899) was a Saturday.
  parts.day_of_week = static_cast<int>(FloorMod(days + 6, 7)) + 1;
  return parts;
}

TDateTime NowLocal() {
  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  std::tm local{};
  if (!::localtime_r(&now.tv_sec, &local)) return 0;
  return FromLocalTm(local, static_cast<int>(now.tv_nsec / 1000000));
}

TDateTimeParts NowLocalParts() {
  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  thread_local std::time_t cached_second = 0;
  thread_local bool cached = false;
  thread_local bool converted = false;
  thread_local TDateTimeParts parts;
  if (!cached || now.tv_sec != cached_second) {
    std::tm local{};
    converted = ::localtime_r(&now.tv_sec, &local) != nullptr;
    // A time the system cannot convert gives the parts of 0, as NowLocal.
    parts = DecodeDateTime(converted ? FromLocalTm(local, 0) : 0);
    cached_second = now.tv_sec;
    cached = true;
  }
  TDateTimeParts result = parts;
  if (converted) result.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return result;
}

TDateTime NowUTC() {
  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  const int64_t ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return kUnixEpochDateTime + static_cast<TDateTime>(ms) / static_cast<TDateTime>(kMillisecondsPerDay);
}

TDateTime UnixTimeToLocalDateTime(std::time_t time) {
  std::tm local{};
  if (!::localtime_r(&time, &local)) return 0;
  return FromLocalTm(local, 0);
}

// ---- Time zones ---------------------------------------------------------------

int LocalToGMTMinutes() {
  // tzset() first: localtime_r need not look at TZ or the system zone file
  // again by itself, and the offset must follow a change made while running.
  ::tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!::localtime_r(&now, &local)) return 0;
  return static_cast<int>(-local.tm_gmtoff / 60);
}

TDateTime LocalToGMT(TDateTime value) { return value + LocalToGMTMinutes() / 1440.0; }

// ---- Formatting -----------------------------------------------------------------

std::string TimeToHTTPText(TDateTime value, bool with_seconds) {
  const TDateTimeParts parts = DecodeDateTime(value);
  std::string text = TwoDigits(parts.hour) + ":" + TwoDigits(parts.minute);
  if (with_seconds) text += ":" + TwoDigits(parts.second);
  return text + " GMT";
}

std::string DateTimeToHTTPText(TDateTime value, bool with_day_name) {
  const TDateTimeParts parts = DecodeDateTime(value);
  std::string text;
  if (with_day_name) text = std::string(ShortDayNames[parts.day_of_week - 1]) + ", ";
  text += TwoDigits(parts.day) + " " + std::string(MonthNames[parts.month - 1]) + " " +
          std::to_string(parts.year) + " " + TimeToHTTPText(value, true);
  return text;
}

void AppendHTTPDate(std::string& out, std::int64_t unix_seconds) {
  // 1 January 10000: the years past it get the general path.
  constexpr std::int64_t kEnd = 253402300800;
  if (unix_seconds < 0 || unix_seconds >= kEnd) {
    out += DateTimeToHTTPText(kUnixEpochDateTime + static_cast<double>(unix_seconds) / kSecondsPerDay, true);
    return;
  }
  // Each thread keeps its last text: a run of answers for one file asks
  // for the same time again and again.
  thread_local std::int64_t last_seconds = -1;
  thread_local char text[32];
  thread_local std::size_t last_size = 0;
  if (unix_seconds == last_seconds) {
    out.append(text, last_size);
    return;
  }
  const std::int64_t days = unix_seconds / kSecondsPerDay;
  const auto of_day = static_cast<int>(unix_seconds % kSecondsPerDay);
  TDateTimeParts parts;
  CivilFromDays(days, parts);
  // "Thu, 01 Jan 1970 00:00:00 GMT": 29 bytes for the years 1000 to 9999,
  // made in place.
  char* at = text;
  const auto put = [&at](std::string_view part) {
    for (const char c : part) *at++ = c;
  };
  const auto two = [&at](int value) {
    *at++ = static_cast<char>('0' + value / 10);
    *at++ = static_cast<char>('0' + value % 10);
  };
  // 1 January 1970 was a Thursday.
  put(ShortDayNames[static_cast<std::size_t>((days + 4) % 7)]);
  put(", ");
  two(parts.day);
  *at++ = ' ';
  put(MonthNames[static_cast<std::size_t>(parts.month - 1)]);
  *at++ = ' ';
  at = std::to_chars(at, text + sizeof text, parts.year).ptr;
  *at++ = ' ';
  two(of_day / 3600);
  *at++ = ':';
  two(of_day % 3600 / 60);
  *at++ = ':';
  two(of_day % 60);
  put(" GMT");
  last_size = static_cast<std::size_t>(at - text);
  last_seconds = unix_seconds;
  out.append(text, last_size);
}

std::string LocalDateTimeToHTTPText(TDateTime value) { return DateTimeToHTTPText(LocalToGMT(value), true); }

std::string NowToHTTPText() { return LocalDateTimeToHTTPText(NowLocal()); }

std::string DurationToText(TDateTime value) {
  if (!std::isfinite(value)) value = 0;
  value = std::clamp(value, -1e9, 1e9);
  int64_t total_ms = std::llround(value * static_cast<double>(kMillisecondsPerDay));
  const bool negative = total_ms < 0;
  if (negative) total_ms = -total_ms;
  const int64_t total_seconds = total_ms / 1000;
  return std::string(negative ? "-" : "") + std::to_string(total_seconds / 3600) + ":" +
         TwoDigits(static_cast<int>(total_seconds / 60 % 60)) + ":" +
         TwoDigits(static_cast<int>(total_seconds % 60));
}

// ---- Parsing ------------------------------------------------------------------

int ExpandTwoDigitYear(int year) {
  if (year >= 50 && year <= 99) return year + 1900;
  if (year >= 0 && year <= 49) return year + 2000;
  return year;
}

int DayNameIndex(std::string_view text) { return IndexIn(text, DayNames.data(), DayNames.size()); }

int ShortDayNameIndex(std::string_view text) {
  return IndexIn(text, ShortDayNames.data(), ShortDayNames.size());
}

int MonthNameIndex(std::string_view text) { return IndexIn(text, MonthNames.data(), MonthNames.size()); }

int ParseTimeZone(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    const bool west = text.front() == '-';
    const std::string zone = TrimSet(text, Whitespace());
    const int hours = std::clamp(DecimalOrZero(TextRange(zone, 2, 3)), -23, 23);
    const std::string rest = TextFrom(zone, 4);
    const int minutes = rest.empty() ? 0 : std::clamp(DecimalOrZero(rest), 0, 59);
    const int offset = hours * 60 + minutes;
    return west ? -offset : offset;
  }
  const std::string name = TrimSet(text, Whitespace());
  for (const TTimeZoneEntry& entry : TimeZoneTable) {
    if (TextEqualFolded(entry.name, name)) return entry.offset;
  }
  return 0;
}

TDateTime ParseTimeOfDay(std::string_view text) {
  std::string time = TrimSet(text, Whitespace());
  if (time.empty()) return 0;

  // Work in whole seconds so that the result is exact to the second.
  int seconds_total = 0;
  const int zone_break = LastIndexOfByteInSet(Whitespace(), time, 1);
  if (zone_break > 0) {
    // A stated local time is brought to GMT.
    seconds_total = -ParseTimeZone(TextFrom(time, zone_break + 1)) * 60;
    time = TrimSet(TextLeft(time, zone_break - 1), Whitespace());
  }

  const std::vector<std::string> pieces = SplitAtByte(time, ':');
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (pieces.size() == 1 && pieces[0].size() == 4) {
    hour = DecimalOrZero(TextRange(pieces[0], 1, 2));
    minute = DecimalOrZero(TextRange(pieces[0], 3, 4));
  } else if (pieces.size() == 2 || pieces.size() == 3) {
    hour = DecimalOrZero(TrimSet(pieces[0], Whitespace()));
    minute = DecimalOrZero(TrimSet(pieces[1], Whitespace()));
    if (pieces.size() == 3) second = DecimalOrZero(TrimSet(pieces[2], Whitespace()));
  } else {
    return static_cast<TDateTime>(seconds_total) / kSecondsPerDay;
  }
  hour = std::clamp(hour, 0, 23);
  minute = std::clamp(minute, 0, 59);
  second = std::clamp(second, 0, 59);
  seconds_total += (hour * 60 + minute) * 60 + second;
  return static_cast<TDateTime>(seconds_total) / kSecondsPerDay;
}

TDateTime ParseHTTPDateTime(std::string_view text) {
  std::string date = TrimSet(text, Whitespace());

  // An optional leading day name, never checked against the date.
  const int word_end = IndexOfByteInSet(Whitespace() | ByteSet(","), date, 1);
  if (word_end > 0) {
    const std::string word = TextLeft(date, word_end - 1);
    if (DayNameIndex(word) > 0 || ShortDayNameIndex(word) > 0) {
      date = TrimSet(TextFrom(date, word_end + 1), Whitespace());
    }
  }

  const std::vector<std::string> pieces = SplitAtByteSet(date, Whitespace());
  if (pieces.size() <= 2) return 0;

  // RFC 850: 06-Nov-94 08:49:37 GMT
  if (IndexOfByte('-', pieces[0]) > 0) {
    const std::vector<std::string> parts = SplitAtByte(pieces[0], '-');
    if (parts.size() != 3 || MonthNameIndex(parts[1]) < 1) return 0;
    int year = DecimalOrZero(parts[2]);
    if (year < 100) year = ExpandTwoDigitYear(year);
    return DateFromParts(year, MonthNameIndex(parts[1]), DecimalOrZero(parts[0]),
                         ParseTimeOfDay(pieces[1] + " " + pieces[2]));
  }

  // RFC 1123: 06 Nov 1994 08:49:37 GMT
  const int month = MonthNameIndex(pieces[1]);
  if (month > 0) {
    TDateTime time_of_day = 0;
    if (pieces.size() == 4) {
      time_of_day = ParseTimeOfDay(pieces[3]);
    } else if (pieces.size() >= 5) {
      time_of_day = ParseTimeOfDay(pieces[3] + " " + pieces[4]);
    }
    return DateFromParts(DecimalOrZero(pieces[2]), month, DecimalOrZero(pieces[0]), time_of_day);
  }

  // asctime: Nov  6 08:49:37 1994. asctime pads a one-digit day with a
  // blank, so the runs of blanks between its words count as one.
  if (MonthNameIndex(pieces[0]) > 0) {
    std::vector<std::string> words;
    for (const std::string& piece : pieces) {
      if (!piece.empty()) words.push_back(piece);
    }
    if (words.size() < 4) return 0;
    return DateFromParts(DecimalOrZero(words[3]), MonthNameIndex(words[0]), DecimalOrZero(words[1]),
                         ParseTimeOfDay(words[2]));
  }
  return 0;
}

}  // namespace vt

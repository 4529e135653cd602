#pragma once

// Date-time values, HTTP date texts and the uptime text.
//
// A TDateTime is a number of days since 30 December 1899 at midnight; the
// fraction is the time of day (0.5 is noon). Values before that day are
// linear too: -0.75 is 29 December 1899 at 06:00, so that adding a fraction
// always moves forward in time. Values carry milliseconds: decoding rounds to
// the nearest millisecond, so a whole second encoded here always decodes to
// the same second.
//
// HTTP dates are TDateTime values in GMT. Local time is converted with the
// offset the system reports for the current moment (read at every call), so
// the process time zone (TZ) is honoured.
//
// Everything here is thread-safe (localtime_r only).

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace vt {

using TDateTime = double;

// 1 January 1970 00:00 as a TDateTime.
inline constexpr TDateTime kUnixEpochDateTime = 25569.0;

// The day, month and year names of HTTP dates (English, whatever the locale).
// The arrays are 0-based; the *Index functions below return 1-based indexes,
// so DayNames[DayNameIndex(text) - 1] is the name found.
// Index 0 is Sunday.
extern const std::array<std::string_view, 7> DayNames;         // "Sunday" .. "Saturday"
extern const std::array<std::string_view, 7> ShortDayNames;    // "Sun" .. "Sat"
extern const std::array<std::string_view, 12> MonthNames;      // "Jan" .. "Dec"
extern const std::array<std::string_view, 12> LongMonthNames;  // "January" .. "December"

// Time-zone names of HTTP and mail dates with their offsets in minutes east
// of GMT: "GMT", "UT", the North American zones and the military letters
// (without "J"). Searched in this order.
struct TTimeZoneEntry {
  std::string_view name;
  int offset;
};
extern const std::array<TTimeZoneEntry, 35> TimeZoneTable;

// ---- Calendar ---------------------------------------------------------------

// The parts of a date-time value. day_of_week is 1 (Sunday) to 7 (Saturday).
struct TDateTimeParts {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int day_of_week = 0;
};

// True for a real calendar date of the years 1 to 9999 (Gregorian calendar
// throughout).
bool IsValidDate(int year, int month, int day);

// The date at midnight. Raises EConvertError ("Invalid date: 2026-02-30")
// when year, month and day do not form a date.
TDateTime EncodeDate(int year, int month, int day);

// The time of day as a fraction of a day. Raises EConvertError when a part
// is out of range (hour 0..23, minute and second 0..59, millisecond 0..999).
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);

// The parts of value, rounded to the nearest millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);

// The current local time, to the millisecond.
TDateTime NowLocal();

// DecodeDateTime(NowLocal()), with the time zone consulted once per second
// and thread: the access log takes it for every line.
TDateTimeParts NowLocalParts();

// The current time in GMT, to the millisecond, straight from the system
// clock: no time zone is involved, so it costs no look at the zone (the
// Date field of every response takes it).
TDateTime NowUTC();

// A time_t (seconds since the Unix epoch) as local time; 0 when the system
// cannot convert it.
TDateTime UnixTimeToLocalDateTime(std::time_t time);

// ---- Time zones ---------------------------------------------------------------

// The minutes to add to local time to get GMT (-60 in Central European
// winter time, 300 in US Eastern winter time), for the current moment.
int LocalToGMTMinutes();

// value + LocalToGMTMinutes() / 1440.
TDateTime LocalToGMT(TDateTime value);

// ---- Formatting -------------------------------------------------------------

// "08:49" or "08:49:37", then " GMT", from the time of day of value (taken to
// be GMT already).
std::string TimeToHTTPText(TDateTime value, bool with_seconds);

// The RFC 1123 text "Sun, 06 Nov 1994 08:49:37 GMT"; without the day name
// "06 Nov 1994 08:49:37 GMT". The year is not padded. No zone conversion.
std::string DateTimeToHTTPText(TDateTime value, bool with_day_name);

// Appends DateTimeToHTTPText(kUnixEpochDateTime + seconds / 86400.0, true):
// the date of a time given in seconds since the Unix epoch (a file's
// modification time, the clock), without a detour through floating point for
// the years 1970 to 9999.
void AppendHTTPDate(std::string& out, std::int64_t unix_seconds);

// DateTimeToHTTPText(LocalToGMT(value), true).
std::string LocalDateTimeToHTTPText(TDateTime value);

// LocalDateTimeToHTTPText(NowLocal()).
std::string NowToHTTPText();

// An elapsed time as "H:MM:SS", the hours counted in total (36:00:00 for 1.5
// days, 0:01:02 for 62 seconds). A negative value gets a leading "-".
std::string DurationToText(TDateTime value);

// ---- Parsing ----------------------------------------------------------------

// 50..99 become 1950..1999, 0..49 become 2000..2049; others stay.
int ExpandTwoDigitYear(int year);

// The 1-based index of text in DayNames, ShortDayNames, MonthNames (ASCII case
// ignored), or -1.
int DayNameIndex(std::string_view text);
int ShortDayNameIndex(std::string_view text);
int MonthNameIndex(std::string_view text);

// Minutes east of GMT: "+0130" gives 90, "-0500" -300, "EST" -300; an
// unknown name gives 0.
int ParseTimeZone(std::string_view text);

// A time of day "HH:MM[:SS] [zone]" or "HHMM [zone]" as a fraction of a day
// brought to GMT (10:00 +0100 gives 09:00). Parts are limited to 23:59:59.
// The result may be negative or pass 1 when the zone moves it across
// midnight. An empty text gives 0.
TDateTime ParseTimeOfDay(std::string_view text);

// An HTTP date in the RFC 1123, RFC 850 or asctime form, with or without a
// day name, as a GMT value; 0 when the text is not recognised. Raises
// EConvertError when the day, month and year are not a calendar date.
TDateTime ParseHTTPDateTime(std::string_view text);

}  // namespace vt

#include "util/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ctime>
#include <tuple>
#include <vector>

#include "support/scoped_time_zone.h"
#include "util/exception.h"

namespace vt {
namespace {

using test::ScopedTimeZone;

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
}

TEST(DateTimeCalendar, SerialNumbersAndInvalidDates) {
  EXPECT_EQ(0.0, EncodeDate(1899, 12, 30));
  EXPECT_EQ(2.0, EncodeDate(1900, 1, 1));
  EXPECT_EQ(kUnixEpochDateTime, EncodeDate(1970, 1, 1));
  EXPECT_EQ(34644.0, EncodeDate(1994, 11, 6));
  EXPECT_EQ(EncodeDate(2000, 3, 1) - 1, EncodeDate(2000, 2, 29));

  EXPECT_THROW(EncodeDate(1900, 2, 29), EConvertError);  // not a leap year
  EXPECT_THROW(EncodeDate(2026, 4, 31), EConvertError);
  EXPECT_THROW(EncodeDate(0, 1, 1), EConvertError);
  EXPECT_THROW(EncodeDate(2026, 13, 1), EConvertError);
  try {
    EncodeDate(2026, 2, 30);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ("Invalid date: 2026-02-30", e.Message());
  }
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 60, 0), EConvertError);
}

TEST(DateTimeCalendar, EverySecondOfADayDecodesToItself) {
  // Before and after the epoch day: values below zero are decoded too.
  for (const int year : {2026, 950}) {
    const TDateTime date = EncodeDate(year, 3, 29);
    for (int second_of_day = 0; second_of_day < 86400; ++second_of_day) {
      const int h = second_of_day / 3600;
      const int m = second_of_day / 60 % 60;
      const int s = second_of_day % 60;
      const TDateTimeParts parts = DecodeDateTime(date + EncodeTime(h, m, s, 0));
      ASSERT_EQ(year, parts.year);
      ASSERT_EQ(3, parts.month);
      ASSERT_EQ(29, parts.day);
      ASSERT_EQ(h, parts.hour);
      ASSERT_EQ(m, parts.minute);
      ASSERT_EQ(s, parts.second);
      ASSERT_EQ(0, parts.millisecond);
    }
  }
  EXPECT_EQ(999, DecodeDateTime(EncodeDate(2026, 1, 1) + EncodeTime(23, 59, 59, 999)).millisecond);
}

TEST(DateTimeCalendar, DayOfWeek) {
  EXPECT_EQ(1, DecodeDateTime(EncodeDate(1994, 11, 6)).day_of_week);   // Sunday
  EXPECT_EQ(7, DecodeDateTime(EncodeDate(2000, 1, 1)).day_of_week);    // Saturday
  EXPECT_EQ(7, DecodeDateTime(0).day_of_week);                         // Saturday
  EXPECT_EQ(6, DecodeDateTime(EncodeDate(1899, 12, 29)).day_of_week);  // Friday
  EXPECT_EQ(5, DecodeDateTime(EncodeDate(1776, 7, 4)).day_of_week);    // Thursday
  EXPECT_EQ(5, DecodeDateTime(EncodeDate(2024, 2, 29)).day_of_week);   // Thursday
}

TEST(DateTimeFormat, HTTPTexts) {
  const TDateTime morning = EncodeDate(1994, 11, 6) + 0.25;
  EXPECT_EQ("Sun, 06 Nov 1994 06:00:00 GMT", DateTimeToHTTPText(morning, true));
  EXPECT_EQ("06 Nov 1994 06:00:00 GMT", DateTimeToHTTPText(morning, false));
  EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", DateTimeToHTTPText(At(1994, 11, 6, 8, 49, 37), true));
  EXPECT_EQ("01 Mar 950 12:00:00 GMT", DateTimeToHTTPText(EncodeDate(950, 3, 1) + 0.5, false));
  EXPECT_EQ("08:49 GMT", TimeToHTTPText(At(1994, 11, 6, 8, 49, 37), false));
  // Half a millisecond before midnight rounds up into the next day.
  EXPECT_EQ("07 Nov 1994 00:00:00 GMT",
            DateTimeToHTTPText(EncodeDate(1994, 11, 6) + 86399999.6 / 86400000.0, false));

  EXPECT_EQ("36:00:00", DurationToText(1.5));
  EXPECT_EQ("0:01:02", DurationToText(62.0 / 86400));
  EXPECT_EQ("0:00:00", DurationToText(0));
  EXPECT_EQ("240:59:59", DurationToText(10 + EncodeTime(0, 59, 59, 999)));
  EXPECT_EQ("-0:00:05", DurationToText(-5.0 / 86400));
}

TEST(DateTimeParse, TimeZones) {
  struct Case {
    const char* text;
    int minutes;
  };
  const Case cases[] = {
      {"+0130", 90}, {"-0500", -300}, {"+05", 300},    {"+0560", 359}, {"+2500", 1380}, {"+0100 ", 60},
      {"EST", -300}, {"est", -300},   {" PDT ", -420}, {"Z", 0},       {"A", -60},      {"Y", 720},
      {"M", -720},   {"J", 0},        {"XYZ", 0},      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.minutes, ParseTimeZone(c.text)) << c.text;
}

TEST(DateTimeParse, TimesOfDay) {
  struct Case {
    const char* text;
    int seconds;
  };
  const Case cases[] = {
      {"", 0},
      {"08:49:37", 8 * 3600 + 49 * 60 + 37},
      {"08:49", 8 * 3600 + 49 * 60},
      {"8:5", 8 * 3600 + 5 * 60},
      {"0849", 8 * 3600 + 49 * 60},
      {"25:61:61", 86399},
      {"10:00 +0100", 9 * 3600},
      {"10:00 EST", 15 * 3600},
      {"10:00 XYZ", 10 * 3600},
      {"  08:49:37   GMT ", 8 * 3600 + 49 * 60 + 37},
      {"00:30 +0100", -1800},      // before midnight GMT
      {"23:00 -0300", 26 * 3600},  // after it
      {"1:2:3:4", 0},
      {"12345", 0},
      {"1:2:3:4 EST", 5 * 3600},  // only the zone
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.seconds, std::llround(ParseTimeOfDay(c.text) * 86400)) << c.text;
  }
}

TEST(DateTimeParse, TheThreeHTTPForms) {
  struct Case {
    const char* text;
    const char* gmt;  // nullptr: not recognised (0)
  };
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", "06 Nov 1994 08:49:37 GMT"},
      {"Sunday, 06-Nov-94 08:49:37 GMT", "06 Nov 1994 08:49:37 GMT"},
      {"Sun Nov 16 08:49:37 1994", "16 Nov 1994 08:49:37 GMT"},
      {"Sun Nov  6 08:49:37 1994", "06 Nov 1994 08:49:37 GMT"},  // asctime pads the day with a blank
      {"06 Nov 1994 08:49:37 GMT", "06 Nov 1994 08:49:37 GMT"},
      {"  sun,06 nov 1994 08:49:37 gmt ", "06 Nov 1994 08:49:37 GMT"},
      {"Mon, 06 Nov 1994 08:49:37 GMT", "06 Nov 1994 08:49:37 GMT"},  // the day name is not checked
      {"06-Nov-49 08:49:37 GMT", "06 Nov 2049 08:49:37 GMT"},
      {"06-Nov-50 08:49:37 GMT", "06 Nov 1950 08:49:37 GMT"},
      {"06-Nov-1994 08:49:37 GMT", "06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 10:00 +0100", "06 Nov 1994 09:00:00 GMT"},
      {"Sun, 06 Nov 1994 10:00:00 EST", "06 Nov 1994 15:00:00 GMT"},
      {"Sun, 06 Nov 1994 10:00:00 XYZ", "06 Nov 1994 10:00:00 GMT"},
      {"Sun, 06 Nov 1994 00:30:00 +0100", "05 Nov 1994 23:30:00 GMT"},
      {"Sun, 31 Dec 1994 23:30:00 -0100", "01 Jan 1995 00:30:00 GMT"},
      {"06 Nov 1994 0849", "06 Nov 1994 08:49:00 GMT"},
      {"06 Nov 1994 25:61:61", "06 Nov 1994 23:59:59 GMT"},
      {"06 Nov 1994", "06 Nov 1994 00:00:00 GMT"},
      {"Thu, 29 Feb 2024 12:00:00 GMT", "29 Feb 2024 12:00:00 GMT"},
      {"", nullptr},
      {"hello world", nullptr},
      {"Sun Nov", nullptr},
      {"Sun, 06 Nov", nullptr},
      {"06-Nov 08:49:37 GMT", nullptr},
      {"06-Foo-94 08:49:37 GMT", nullptr},
      {"Nov 16 1994", nullptr},
      {"Sun Nov 16 08:49:37", nullptr},
      {"hello big world", nullptr},
  };
  for (const Case& c : cases) {
    const TDateTime value = ParseHTTPDateTime(c.text);
    if (c.gmt) {
      EXPECT_EQ(c.gmt, DateTimeToHTTPText(value, false)) << c.text;
    } else {
      EXPECT_EQ(0.0, value) << c.text;
    }
  }
}

TEST(DateTimeParse, ImpossibleCalendarDatesRaise) {
  for (const char* text :
       {"Sun, 31 Feb 2026 10:00:00 GMT", "30-Feb-26 10:00:00 GMT", "Feb 30 10:00:00 2026",
        "Sun, 00 Nov 1994 08:49:37 GMT", "06 Nov 0 08:49:37 GMT", "Sun, x Nov 1994 08:49:37 GMT"}) {
    EXPECT_THROW(ParseHTTPDateTime(text), EConvertError) << text;
  }
}

TEST(DateTimeLocal, FixedZonesConvertToGMT) {
  {
    ScopedTimeZone zone("UTC0");
    EXPECT_EQ(0, LocalToGMTMinutes());
    EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", LocalDateTimeToHTTPText(At(1994, 11, 6, 8, 49, 37)));
  }
  {
    ScopedTimeZone zone("EST5");
    EXPECT_EQ(300, LocalToGMTMinutes());
    EXPECT_EQ("Sun, 06 Nov 1994 08:49:37 GMT", LocalDateTimeToHTTPText(At(1994, 11, 6, 3, 49, 37)));
    // Late evening local time is the next day in GMT.
    EXPECT_EQ("Mon, 07 Nov 1994 02:00:00 GMT", LocalDateTimeToHTTPText(At(1994, 11, 6, 21)));
  }
  {
    ScopedTimeZone zone("JST-9");
    EXPECT_EQ(-540, LocalToGMTMinutes());
  }
}

TEST(DateTimeLocal, UnixTimesFollowDaylightSavingRules) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ("06 Nov 1994 09:49:37 GMT", DateTimeToHTTPText(UnixTimeToLocalDateTime(784111777), false));
  EXPECT_EQ("01 Jul 2020 14:00:00 GMT", DateTimeToHTTPText(UnixTimeToLocalDateTime(1593604800), false));
  const int minutes = LocalToGMTMinutes();
  EXPECT_TRUE(minutes == -60 || minutes == -120) << minutes;
}

TEST(DateTimeLocal, NowUTCIsNowLocalBroughtToGMT) {
  for (const char* tz : {"UTC0", "EST5", "CET-1CEST,M3.5.0,M10.5.0/3"}) {
    ScopedTimeZone zone(tz);
    const TDateTime local = NowLocal();
    const TDateTime utc = NowUTC();
    const TDateTime converted = LocalToGMT(local);
    EXPECT_NEAR(converted, utc, 2.0 / 86400) << tz;
  }
}

TEST(DateTimeLocal, NowRoundTripsThroughTheHTTPText) {
  ScopedTimeZone zone("EST5");
  const TDateTime before = kUnixEpochDateTime + (static_cast<double>(std::time(nullptr)) - 5 * 3600) / 86400;
  const TDateTime now = NowLocal();
  const std::string text = NowToHTTPText();
  const TDateTime after = kUnixEpochDateTime + (static_cast<double>(std::time(nullptr)) - 5 * 3600) / 86400;
  const double second = 1.0 / 86400;
  EXPECT_GE(now, before - second);
  EXPECT_LE(now, after + second);
  const TDateTime parsed = ParseHTTPDateTime(text);
  EXPECT_GE(parsed, LocalToGMT(before) - second) << text;
  EXPECT_LE(parsed, LocalToGMT(after) + second) << text;
}

// The date of a time in whole seconds, made without floating point, is the
// text the general formatting gives for the same second.
TEST(DateTimeFormat, UnixSecondsGiveTheGeneralText) {
  std::vector<std::int64_t> seconds = {0,
                                       59,
                                       86399,
                                       86400,
                                       784111777,
                                       951782400 /* 29 Feb 2000 */,
                                       1593604800,
                                       4107542399 /* 2100 */,
                                       253402300799,
                                       253402300800,
                                       -1,
                                       -86401};
  for (std::int64_t s = 1; s < 253402300800; s = s * 3 + 12345) seconds.push_back(s);
  for (const std::int64_t s : seconds) {
    // Twice: the second answer is the one the thread kept from the first.
    for (int again = 0; again < 2; ++again) {
      std::string text = "x";
      AppendHTTPDate(text, s);
      EXPECT_EQ("x" + DateTimeToHTTPText(kUnixEpochDateTime + static_cast<double>(s) / 86400, true), text)
          << s;
    }
  }
}

TEST(DateTimeLocal, NowLocalPartsAreNowLocalTakenApart) {
  ScopedTimeZone zone("JST-9");
  for (int i = 0; i < 3; ++i) {
    const TDateTimeParts before = DecodeDateTime(NowLocal());
    const TDateTimeParts parts = NowLocalParts();
    const TDateTimeParts after = DecodeDateTime(NowLocal());
    const auto key = [](const TDateTimeParts& p) {
      return std::tuple(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond);
    };
    EXPECT_LE(key(before), key(parts));
    EXPECT_LE(key(parts), key(after));
    EXPECT_EQ(before.day_of_week, parts.day_of_week);
  }
}

}  // namespace
}  // namespace vt

// The one date format of the program: ISO 8601 in UTC, whole seconds, "Z".

#include <charconv>

#include "albumgate.h"

namespace albumgate {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day;
};

Civil civilFromDays(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

bool isLeap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned daysInMonth(std::int64_t year, unsigned month) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : days[month - 1];
}

// Reads exactly `count` decimal digits at `at`.
bool digits(std::string_view text, std::size_t at, std::size_t count, unsigned& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

}  // namespace

std::string formatIso8601(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  const Civil date = civilFromDays(days);
  // Written by hand: listings format two dates per row.
  char text[32];
  char* end = text;
  const auto two = [&end](unsigned value, char after) {
    *end++ = static_cast<char>('0' + value / 10);
    *end++ = static_cast<char>('0' + value % 10);
    if (after) *end++ = after;
  };
  if (date.year >= 0 && date.year <= 9999) {
    two(static_cast<unsigned>(date.year / 100), 0);
    two(static_cast<unsigned>(date.year % 100), 0);
  } else {
    end = std::to_chars(text, text + 20, date.year).ptr;
  }
  *end++ = '-';
  two(date.month, '-');
  two(date.day, 'T');
  two(static_cast<unsigned>(rest / 3600), ':');
  two(static_cast<unsigned>(rest / 60 % 60), ':');
  two(static_cast<unsigned>(rest % 60), 'Z');
  return std::string(text, end);
}

std::optional<std::int64_t> parseIso8601(std::string_view text) {
  unsigned year, month, day, hour, minute, second;
  if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' || !digits(text, 5, 2, month) ||
      text[7] != '-' || !digits(text, 8, 2, day) || text[10] != 'T' || !digits(text, 11, 2, hour) ||
      text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' || !digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  std::int64_t offset = 0;
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    unsigned offsetHours, offsetMinutes;
    const bool colon = zone.size() == 6 && zone[3] == ':';
    if ((zone.size() != 5 && !colon) || (zone[0] != '+' && zone[0] != '-') || !digits(zone, 1, 2, offsetHours) ||
        !digits(zone, colon ? 4 : 3, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) {
      return std::nullopt;
    }
    offset = static_cast<std::int64_t>(offsetHours * 3600 + offsetMinutes * 60) * (zone[0] == '-' ? -1 : 1);
  }
  return daysFromCivil(year, month, day) * 86400 + static_cast<std::int64_t>(hour * 3600 + minute * 60 + second) - offset;
}

}  // namespace albumgate

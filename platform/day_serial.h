// Day-serial numbers (days since 30 December 1899, time of day as the
// fraction) as text: written with "." whatever the locale, read back with a
// leading-number parse. Neither ever fails.
#pragma once

#include <string>

namespace bw {

/// Decimal text of up to 15 significant digits, trailing zeros dropped, no
/// exponent, "." as separator: 4 July 2007 13:30 gives "39267.5625".
std::string DaySerialText(double d);

/// The number at the start of the text: leading blanks, an optional sign,
/// digits, an optional "." and digits, an optional exponent. 0 when the text
/// does not start with a number. The rest of the text is ignored.
double ParseLeadingNumber(const std::string& s);

/// Replaces every "," by "." (day-serial numbers written as text).
std::string FixDecimal(const std::string& s);

}  // namespace bw

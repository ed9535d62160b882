#include "platform/day_serial.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace bw {

namespace {

// Drops trailing zeros after a decimal separator ("." or ","), and the
// separator itself when nothing follows it.
void DropTrailingZeros(std::string& s) {
    const std::size_t sep = s.find_first_of(".,");
    if (sep == std::string::npos) return;
    std::size_t end = s.size();
    while (end > sep + 1 && s[end - 1] == '0') --end;
    if (end == sep + 1) end = sep;
    s.resize(end);
}

}  // namespace

std::string DaySerialText(double d) {
    if (!std::isfinite(d) || d == 0) return "0";
    // printf writes the locale's separator; FixDecimal makes it a point.
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    std::string s = buf;
    if (s.find_first_of("eE") != std::string::npos) {
        const int exp10 = static_cast<int>(std::floor(std::log10(std::fabs(d))));
        const int decimals = std::clamp(14 - exp10, 0, 340);
        std::snprintf(buf, sizeof buf, "%.*f", decimals, d);
        s = buf;
        DropTrailingZeros(s);
    }
    return FixDecimal(s);
}

double ParseLeadingNumber(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::size_t start = i;
    std::size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
    }
    if (digits == 0) return 0;
    std::size_t end = i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        const std::size_t expStart = j;
        while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
        if (j > expStart) end = j;  // "1e" or "1e+" is the number 1
    }
    std::string text = s.substr(start, end - start);
    if (text[0] == '.') text.insert(text.begin(), '0');
    double v = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), v);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: as close as a double gets.
        const std::size_t e = text.find_first_of("eE");
        v = e != std::string::npos && text[e + 1] == '-' ? 0.0 : HUGE_VAL;
    } else if (result.ec != std::errc()) {
        return 0;
    }
    return negative ? -v : v;
}

std::string FixDecimal(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c == ',') c = '.';
    }
    return out;
}

}  // namespace bw

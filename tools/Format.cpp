#include "zelstats/tools/Format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zel {

namespace {

// A decimal number: 0.d1d2d3... × 10^exponent, with no leading zeros in digits and an empty
// digit string for zero.
struct Decimal {
    bool negative = false;
    std::string digits;
    int exponent = 0;

    bool IsZero() const { return digits.empty(); }
};

// The decimal expansion of a finite double to 80 significant digits. That is far more than
// any rounding below needs to tell a true tie (…5000…) from a value just above or below one.
// std::to_chars writes exactly what printf's "%.80e" writes in the C locale, whatever the
// process locale: printf would write a decimal comma under de_DE and a two-byte separator
// under ps_AF, and the digit positions read below would be wrong.
Decimal ToDecimal(double value)
{
    Decimal d;
    d.negative = std::signbit(value);
    if (value == 0)
        return d;
    char buffer[128];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                       std::chars_format::scientific, 80);
    // buffer: "d.ddd...e±XX"
    const char* e = std::find(buffer, written.ptr, 'e');
    d.digits.push_back(buffer[0]);
    d.digits.append(buffer + 2, static_cast<std::size_t>(e - (buffer + 2)));
    int exponent = 0;
    std::from_chars(e + 2, written.ptr, exponent); // from_chars takes no '+'
    d.exponent = (e[1] == '-' ? -exponent : exponent) + 1;
    while (!d.digits.empty() && d.digits.back() == '0')
        d.digits.pop_back();
    return d;
}

// Keeps the first `keep` digits, rounding half away from zero. A keep of 0 or less rounds
// at or above the leading digit; the result may then be zero or a carry into a new digit.
void RoundDigits(Decimal& d, int keep)
{
    if (keep >= static_cast<int>(d.digits.size()))
        return;
    if (keep < 0) {
        d.digits.clear();
        return;
    }
    const bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
    d.digits.resize(static_cast<std::size_t>(keep));
    if (up) {
        int i = keep - 1;
        while (i >= 0 && d.digits[static_cast<std::size_t>(i)] == '9') {
            d.digits[static_cast<std::size_t>(i)] = '0';
            --i;
        }
        if (i < 0) {
            d.digits.insert(d.digits.begin(), '1');
            ++d.exponent;
        } else {
            ++d.digits[static_cast<std::size_t>(i)];
        }
    }
    while (!d.digits.empty() && d.digits.back() == '0')
        d.digits.pop_back();
}

// The digit at decimal position `index` counted from the first digit of 0.d1d2…; positions
// outside the digit string are zeros.
char DigitAt(const Decimal& d, int index)
{
    if (index < 0 || index >= static_cast<int>(d.digits.size()))
        return '0';
    return d.digits[static_cast<std::size_t>(index)];
}

// The integer digits of d, without leading zeros ("" when the integer part is 0).
std::string IntegerDigits(const Decimal& d)
{
    std::string result;
    for (int i = 0; i < d.exponent; ++i)
        result.push_back(DigitAt(d, i));
    return result;
}

// `count` decimals of d after the point.
std::string FractionDigits(const Decimal& d, int count)
{
    std::string result;
    for (int i = 0; i < count; ++i)
        result.push_back(DigitAt(d, d.exponent + i));
    return result;
}

std::string NonFinite(double value)
{
    if (std::isnan(value))
        return "NAN";
    return value < 0 ? "-INF" : "INF";
}

std::string Sign(const Decimal& d)
{
    return d.negative && !d.IsZero() ? "-" : "";
}

constexpr int GeneralPrecision = 15;

// Where a format picture's placeholders are.
struct PictureLayout {
    int intPlaceholders = 0; // '#' and '0' before the decimal point
    int firstIntZero = -1;   // index of the first '0' among them
    int decPlaceholders = 0; // '#' and '0' after it
    int lastDecZero = -1;    // index of the last '0' among those
};

PictureLayout ReadPicture(std::string_view picture)
{
    PictureLayout p;
    bool seenPoint = false;
    char quote = 0;
    for (char c : picture) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '.' && !seenPoint) {
            seenPoint = true;
        } else if (c == '#' || c == '0') {
            if (!seenPoint) {
                if (c == '0' && p.firstIntZero < 0)
                    p.firstIntZero = p.intPlaceholders;
                ++p.intPlaceholders;
            } else {
                if (c == '0')
                    p.lastDecZero = p.decPlaceholders;
                ++p.decPlaceholders;
            }
        }
    }
    return p;
}

// Writes the text: integer placeholder k shows the digit that lines up with it from the right;
// digits beyond the placeholders go in front of the first one.
std::string WritePicture(std::string_view picture, const PictureLayout& p, std::string out,
                         const std::string& integer, const std::string& fraction)
{
    const int excess = static_cast<int>(integer.size()) - p.intPlaceholders;
    bool integerWritten = p.intPlaceholders > 0;
    int intIndex = 0;
    int decIndex = 0;
    bool seenPoint = false;
    char quote = 0;
    for (char c : picture) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                out.push_back(c);
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '.' && !seenPoint) {
            seenPoint = true;
            if (!integerWritten) {
                out += integer;
                integerWritten = true;
            }
            if (!fraction.empty())
                out.push_back('.');
        } else if ((c == '#' || c == '0') && !seenPoint) {
            if (intIndex == 0 && excess > 0)
                out.append(integer, 0, static_cast<std::size_t>(excess));
            const int at = excess + intIndex;
            if (at >= 0)
                out.push_back(integer[static_cast<std::size_t>(at)]);
            ++intIndex;
        } else if (c == '#' || c == '0') {
            if (decIndex < static_cast<int>(fraction.size()))
                out.push_back(fraction[static_cast<std::size_t>(decIndex)]);
            ++decIndex;
        } else {
            out.push_back(c);
        }
    }
    // A picture without any placeholder or point still shows the integer part, at its end.
    if (!integerWritten)
        out += integer;
    return out;
}

} // namespace

std::string FormatFloat(std::string_view picture, double value)
{
    if (!std::isfinite(value))
        return NonFinite(value);
    if (picture.empty())
        return FloatToStr(value);
    const PictureLayout p = ReadPicture(picture);

    // Take the value to 15 significant digits first, so that binary noise (1.005 stored as
    // 1.00499999999999989…) rounds as the number it stands for.
    Decimal d = ToDecimal(value);
    RoundDigits(d, GeneralPrecision);
    RoundDigits(d, d.exponent + p.decPlaceholders);

    std::string integer = IntegerDigits(d);
    const std::size_t forcedInt =
        p.firstIntZero < 0 ? 0 : static_cast<std::size_t>(p.intPlaceholders - p.firstIntZero);
    if (integer.size() < forcedInt)
        integer.insert(0, forcedInt - integer.size(), '0');
    std::string fraction = FractionDigits(d, p.decPlaceholders);
    const std::size_t forcedDec = static_cast<std::size_t>(p.lastDecZero + 1);
    while (fraction.size() > forcedDec && fraction.back() == '0')
        fraction.pop_back();
    return WritePicture(picture, p, Sign(d), integer, fraction);
}

std::string FloatToStrF(double value, int precision, int digits)
{
    if (!std::isfinite(value))
        return NonFinite(value);
    precision = std::clamp(precision, 1, GeneralPrecision);
    digits = std::clamp(digits, 0, 18);

    const Decimal exact = ToDecimal(value);
    Decimal p = exact;
    RoundDigits(p, precision);
    if (p.exponent > precision && !p.IsZero()) {
        // More integer digits than the precision: scientific, d.ddd…E±XX.
        std::string mantissa = p.digits;
        mantissa.resize(static_cast<std::size_t>(precision), '0');
        std::string out = Sign(p);
        out.push_back(mantissa[0]);
        if (precision > 1) {
            out.push_back('.');
            out.append(mantissa, 1);
        }
        const int exponent = p.exponent - 1;
        out += exponent < 0 ? "E-" : "E+";
        const std::string magnitude = std::to_string(std::abs(exponent));
        if (magnitude.size() < 2)
            out += '0';
        return out + magnitude;
    }

    // One rounding of the exact value, at whichever comes first: the last significant digit
    // of the precision or the last decimal.
    Decimal f = exact;
    RoundDigits(f, std::min(precision, f.exponent + digits));
    const std::string integer = IntegerDigits(f);
    std::string out = Sign(f);
    if (integer.empty())
        out += '0';
    else
        out += integer;
    if (digits > 0) {
        out += '.';
        out += FractionDigits(f, digits);
    }
    return out;
}

std::string FloatToStr(double value)
{
    if (!std::isfinite(value))
        return NonFinite(value);
    Decimal d = ToDecimal(value);
    RoundDigits(d, GeneralPrecision);
    if (d.IsZero())
        return "0";
    std::string out = Sign(d);
    if (d.exponent > GeneralPrecision || d.exponent < -3) {
        out.push_back(d.digits[0]);
        if (d.digits.size() > 1) {
            out.push_back('.');
            out.append(d.digits, 1);
        }
        out += 'E';
        out += std::to_string(d.exponent - 1);
        return out;
    }
    if (d.exponent <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent), '0');
        out += d.digits;
        return out;
    }
    out += IntegerDigits(d);
    if (static_cast<int>(d.digits.size()) > d.exponent) {
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(d.exponent));
    }
    return out;
}

std::string IntToStr(std::int64_t value)
{
    // An integer has no decimal point, and printf's "%ld" (what to_string uses) never groups.
    return std::to_string(value);
}

std::string FloatToMachineStr(double value)
{
    if (!std::isfinite(value))
        return NonFinite(value);
    // Room for "-d.dddddddddddddddde-308".
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::general, 17);
    return std::string(buffer, written.ptr);
}

std::optional<double> StrToFloat(std::string_view text)
{
    // from_chars takes a leading '-' but no '+', and, unlike strtod, no spaces, no hexadecimal
    // without being asked for it, and never the locale's decimal separator.
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-')
            return std::nullopt;
    }
    if (text.empty())
        return std::nullopt;
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::string ExtractFileName(std::string_view path)
{
    const std::size_t cut = path.find_last_of("/\\:");
    if (cut == std::string_view::npos)
        return std::string(path);
    return std::string(path.substr(cut + 1));
}

} // namespace zel

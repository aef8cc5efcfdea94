// Number and file-name formatting with the host toolkit's rules, shared by every window and
// the command line.
//
// Every routine here writes and reads '.' as the decimal point and never groups digits,
// whatever the process locale: a windowed program adopts the user's locale at start-up, after
// which printf, strtod and the iostreams would write "2,5" under de_DE and a two-byte
// separator under ps_AF. The texts for people and the machine formats must not change with it.
//
// Not-a-number and the infinities are written as the plain texts "NAN", "INF" and "-INF" by
// every routine here; a window that shows a statistic to a person writes "undefined" itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel {

// Formats a number with a picture: '#' an optional digit, '0' a forced digit, '.' the decimal
// point (the first one; the digit placeholders after it give the number of decimals). Any
// other text is copied through ("Range: #.000"); text between a pair of double or single
// quotes is copied through without the quotes. Integer digits beyond the picture's
// placeholders are written at the first placeholder. The decimal point is written only when a
// decimal digit follows it, and decimal digits beyond the last '0' are dropped when they are
// trailing zeros ("#.##" gives "1.5" for 1.5, "1" for 1, and "" for 0).
//
// The value is taken to 15 significant digits, as FloatToStr does, and then rounded half away
// from zero to the picture's decimals: "#.000" gives ".500" for 0.5 and ".000" for 0,
// "000.000" gives "000.500", "#000.00" gives "012.50" for 12.5. A negative number gets a
// minus at the very start of the text (before any literal text); a negative number that
// rounds to zero gets none (-0.0001 with "#.000" gives ".000").
//
// Only what the package's pictures need is supported: ',' (thousands), ';' (sections) and
// exponent pictures have no special meaning here and are copied through as text. An empty
// picture formats as FloatToStr does.
std::string FormatFloat(std::string_view picture, double value);

// Fixed-point format with a precision (significant digits, 1 to 15) and a number of decimals
// (0 to 18): the value is rounded half away from zero to whichever of the two gives fewer
// digits, decimals beyond the precision are written as zeros (precision 4 and 3 decimals
// give "123.500" for 123.456), and at least one digit precedes the decimal point. A value
// whose integer part has more digits than the precision is written in scientific notation
// with `precision` significant digits and a signed exponent of at least two digits:
// FloatToStrF(123456789.0, 7, 2) gives "1.234568E+08". A negative value that rounds to zero
// is written without a minus.
std::string FloatToStrF(double value, int precision, int digits);

// General format with up to 15 significant digits, trailing zeros removed: "2.5", "0.1",
// "100", "0.0001". Scientific notation is used when the integer part has more than 15 digits
// or the value is below 0.0001 in magnitude; its exponent carries a sign only when negative
// and no leading zeros: "1E20", "1.5E-5", "-2.5E-7".
std::string FloatToStr(double value);

std::string IntToStr(std::int64_t value);

// 17 significant digits in the shorter of fixed and scientific notation, exactly as printf's
// "%.17g" writes them in the C locale ("0.10000000000000001", "1e+20", "2.5"): a text that
// reads back as the very same double, for machine formats such as JSON and CSV. A machine
// format spells not-a-number and the infinities its own way and must test for them first.
std::string FloatToMachineStr(double value);

// The whole text read as a number with '.' as the decimal point: an optional sign, digits
// with at most one point, an optional exponent ("2.5", "-1e3", "+.5"), or "inf" and "nan".
// Nothing for any other text, including surrounding spaces, a decimal comma ("2,5"),
// hexadecimal and a magnitude outside the double range.
std::optional<double> StrToFloat(std::string_view text);

// The file-name part of a path, after the last '/', '\' or ':'.
std::string ExtractFileName(std::string_view path);

} // namespace zel

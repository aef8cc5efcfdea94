// Number pictures, fixed and general number formats, and file names.
#include "platform/Format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

namespace zel {
namespace {

constexpr double Inf = std::numeric_limits<double>::infinity();
const double NaN = std::nan("");

auto CaseName = [](const auto& info) { return std::string(info.param.name); };

struct PictureCase {
    const char* name;
    const char* picture;
    double value;
    const char* expected;
};

// Test listings show the case by its name.
void PrintTo(const PictureCase& c, std::ostream* os) { *os << c.name; }

class FormatFloatTest : public testing::TestWithParam<PictureCase> {};

TEST_P(FormatFloatTest, WritesThePicture)
{
    const PictureCase& c = GetParam();
    EXPECT_EQ(FormatFloat(c.picture, c.value), c.expected) << c.picture << " with " << c.value;
}

INSTANTIATE_TEST_SUITE_P(OptionalIntegerDigit, FormatFloatTest, testing::Values(
    PictureCase{"Mean", "#.000", 12.3456, "12.346"},
    PictureCase{"HalfHasNoLeadingZero", "#.000", 0.5, ".500"},
    PictureCase{"Zero", "#.000", 0, ".000"},
    PictureCase{"NegativeZero", "#.000", -0.0, ".000"},
    PictureCase{"NegativeRoundingToZero", "#.000", -0.0001, ".000"},
    PictureCase{"Negative", "#.000", -1.5, "-1.500"},
    PictureCase{"HalfAwayFromZeroUp", "#.000", 0.0005, ".001"},
    PictureCase{"HalfAwayFromZeroDown", "#.000", -0.0005, "-.001"},
    PictureCase{"CarryIntoNewDigit", "#.000", 999.9996, "1000.000"},
    PictureCase{"ManyIntegerDigits", "#.000", 123456789.25, "123456789.250"}), CaseName);

INSTANTIATE_TEST_SUITE_P(ForcedDigits, FormatFloatTest, testing::Values(
    PictureCase{"ClassBoundHalf", "000.000", 0.5, "000.500"},
    PictureCase{"ClassBound", "000.000", 123.456, "123.456"},
    PictureCase{"Hundred", "000.000", 100, "100.000"},
    PictureCase{"MoreDigitsThanPlaceholders", "000.000", 1234.5, "1234.500"},
    PictureCase{"Percentage", "#000.00", 12.5, "012.50"},
    PictureCase{"Third", "#000.00", 1.0 / 3.0, "000.33"},
    PictureCase{"CarryAcrossForcedDigits", "0.000", 0.9995, "1.000"},
    PictureCase{"IntegerHalfUp", "0", 2.5, "3"},
    PictureCase{"IntegerHalfDown", "0", -2.5, "-3"},
    PictureCase{"IntegerFromHalf", "0", 0.5, "1"},
    PictureCase{"TieOfTheDouble", "0.00", 0.125, "0.13"},
    // 1.005 is stored as 1.00499999999999989…; taken to 15 digits it rounds as written.
    PictureCase{"DecimalTieBehindBinaryNoise", "0.00", 1.005, "1.01"},
    PictureCase{"NoIntegerPlaceholder", ".00", 12.5, "12.50"}), CaseName);

INSTANTIATE_TEST_SUITE_P(OptionalDecimals, FormatFloatTest, testing::Values(
    PictureCase{"TrailingZeroDropped", "#.##", 1.5, "1.5"},
    PictureCase{"PointDroppedWithoutDecimals", "#.##", 1, "1"},
    PictureCase{"ZeroIsEmpty", "#.##", 0, ""},
    PictureCase{"NothingForced", "#", 0, ""},
    PictureCase{"ForcedThenOptional", "0.0#", 2, "2.0"}), CaseName);

INSTANTIATE_TEST_SUITE_P(LiteralText, FormatFloatTest, testing::Values(
    PictureCase{"Range", "Range: #.000", 2.5, "Range: 2.500"},
    PictureCase{"SkewnessZero", "Skewness: #.000", 0, "Skewness: .000"},
    PictureCase{"StdDev", "Standard Deviation: #.000", 1.23456, "Standard Deviation: 1.235"},
    PictureCase{"Kurtosis", "Kurtosis: #.000", 1e6, "Kurtosis: 1000000.000"},
    PictureCase{"MinusBeforeLiteral", "Variance: #.000", -2, "-Variance: 2.000"},
    PictureCase{"DoubleQuoted", "\"Total #0.\" 0.0", 3, "Total #0. 3.0"},
    PictureCase{"SingleQuoted", "'x'0", 7, "x7"},
    PictureCase{"Suffix", "0.0 units", 7.25, "7.3 units"},
    PictureCase{"NoPlaceholderAtAll", "n=", 12, "n=12"},
    PictureCase{"EmptyPictureIsGeneral", "", 2.5, "2.5"}), CaseName);

INSTANTIATE_TEST_SUITE_P(NotFinite, FormatFloatTest, testing::Values(
    PictureCase{"NaN", "#.000", NaN, "NAN"},
    PictureCase{"Infinity", "Range: #.000", Inf, "INF"},
    PictureCase{"MinusInfinity", "000.000", -Inf, "-INF"}), CaseName);

struct FixedCase {
    const char* name;
    double value;
    int precision, digits;
    const char* expected;
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.name; }

class FloatToStrFTest : public testing::TestWithParam<FixedCase> {};

TEST_P(FloatToStrFTest, WritesFixedPoint)
{
    const FixedCase& c = GetParam();
    EXPECT_EQ(FloatToStrF(c.value, c.precision, c.digits), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FloatToStrFTest, testing::Values(
    FixedCase{"Midpoint", 12.5, 8, 2, "12.50"},
    FixedCase{"IntegerDigitsEqualPrecision", 1234567.0, 7, 2, "1234567.00"},
    FixedCase{"TooManyIntegerDigits", 123456789.0, 7, 2, "1.234568E+08"},
    FixedCase{"EightDigitsPrecisionSeven", 12345678.0, 7, 2, "1.234568E+07"},
    FixedCase{"RoundingPushesIntoScientific", 99999999.6, 8, 0, "1.0000000E+08"},
    FixedCase{"ThreeDigitExponent", 1e300, 7, 2, "1.000000E+300"},
    FixedCase{"NegativeScientific", -123456789.0, 7, 2, "-1.234568E+08"},
    FixedCase{"DecimalsBeyondPrecisionAreZeros", 123.456, 4, 3, "123.500"},
    FixedCase{"OneRoundingOnly", 0.12345, 4, 3, "0.123"},
    FixedCase{"HalfUp", 0.125, 7, 2, "0.13"},
    FixedCase{"NoDecimals", 0.5, 7, 0, "1"},
    FixedCase{"NegativeRoundingToZero", -0.001, 7, 2, "0.00"},
    FixedCase{"Negative", -1.5, 7, 0, "-2"},
    FixedCase{"Zero", 0, 7, 3, "0.000"},
    FixedCase{"Tiny", 1e-10, 7, 2, "0.00"},
    FixedCase{"SmallWithDecimals", 0.000123456, 7, 6, "0.000123"},
    FixedCase{"NaN", NaN, 7, 2, "NAN"},
    FixedCase{"Infinity", Inf, 7, 2, "INF"},
    FixedCase{"MinusInfinity", -Inf, 7, 2, "-INF"}), CaseName);

struct GeneralCase {
    const char* name;
    double value;
    const char* expected;
};

void PrintTo(const GeneralCase& c, std::ostream* os) { *os << c.name; }

class FloatToStrTest : public testing::TestWithParam<GeneralCase> {};

TEST_P(FloatToStrTest, WritesGeneralFormat)
{
    EXPECT_EQ(FloatToStr(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FloatToStrTest, testing::Values(
    GeneralCase{"Fraction", 2.5, "2.5"},
    GeneralCase{"Tenth", 0.1, "0.1"},
    GeneralCase{"SumOfTenths", 0.1 + 0.2, "0.3"},
    GeneralCase{"Integer", 100, "100"},
    GeneralCase{"Negative", -1, "-1"},
    GeneralCase{"Zero", 0, "0"},
    GeneralCase{"NegativeZero", -0.0, "0"},
    GeneralCase{"Third", 1.0 / 3.0, "0.333333333333333"},
    GeneralCase{"TwoThirds", 2.0 / 3.0, "0.666666666666667"},
    GeneralCase{"ScaleOffset", 1.10001, "1.10001"},
    GeneralCase{"FifteenIntegerDigits", 123456789012345.0, "123456789012345"},
    GeneralCase{"SixteenIntegerDigits", 1e15, "1E15"},
    GeneralCase{"RoundedTo15Digits", 1234567890123456.0, "1.23456789012346E15"},
    GeneralCase{"Large", 1e20, "1E20"},
    GeneralCase{"SmallestFixed", 0.0001, "0.0001"},
    GeneralCase{"Small", 1.5e-5, "1.5E-5"},
    GeneralCase{"SmallNegative", -2.5e-7, "-2.5E-7"},
    GeneralCase{"NaN", NaN, "NAN"},
    GeneralCase{"Infinity", Inf, "INF"}), CaseName);

TEST(FormatTest, IntToStrWritesPlainDecimal)
{
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-17), "-17");
    EXPECT_EQ(IntToStr(65535), "65535");
    EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
}

struct PathCase {
    const char* name;
    const char* path;
    const char* expected;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class ExtractFileNameTest : public testing::TestWithParam<PathCase> {};

TEST_P(ExtractFileNameTest, KeepsTheTextAfterTheLastSeparator)
{
    EXPECT_EQ(ExtractFileName(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExtractFileNameTest, testing::Values(
    PathCase{"Unix", "/data/db/employee.db", "employee.db"},
    PathCase{"Windows", "C:\\data\\EMPLOYEE.DB", "EMPLOYEE.DB"},
    PathCase{"DriveOnly", "C:EMPLOYEE.DB", "EMPLOYEE.DB"},
    PathCase{"Mixed", "a\\b/c", "c"},
    PathCase{"Plain", "EMPLOYEE", "EMPLOYEE"},
    PathCase{"TrailingSeparator", "dir/", ""},
    PathCase{"Empty", "", ""}), CaseName);

} // namespace
} // namespace zel

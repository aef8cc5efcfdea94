// Number pictures, fixed and general number formats, and file names.
#include "zelstats/tools/Format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <span>
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

const PictureCase OptionalIntegerDigitPictures[] = {
    {"Mean", "#.000", 12.3456, "12.346"},
    {"HalfHasNoLeadingZero", "#.000", 0.5, ".500"},
    {"Zero", "#.000", 0, ".000"},
    {"NegativeZero", "#.000", -0.0, ".000"},
    {"NegativeRoundingToZero", "#.000", -0.0001, ".000"},
    {"Negative", "#.000", -1.5, "-1.500"},
    {"HalfAwayFromZeroUp", "#.000", 0.0005, ".001"},
    {"HalfAwayFromZeroDown", "#.000", -0.0005, "-.001"},
    {"CarryIntoNewDigit", "#.000", 999.9996, "1000.000"},
    {"ManyIntegerDigits", "#.000", 123456789.25, "123456789.250"},
};
INSTANTIATE_TEST_SUITE_P(OptionalIntegerDigit, FormatFloatTest,
                         testing::ValuesIn(OptionalIntegerDigitPictures), CaseName);

const PictureCase ForcedDigitPictures[] = {
    {"ClassBoundHalf", "000.000", 0.5, "000.500"},
    {"ClassBound", "000.000", 123.456, "123.456"},
    {"Hundred", "000.000", 100, "100.000"},
    {"MoreDigitsThanPlaceholders", "000.000", 1234.5, "1234.500"},
    {"Percentage", "#000.00", 12.5, "012.50"},
    {"Third", "#000.00", 1.0 / 3.0, "000.33"},
    {"CarryAcrossForcedDigits", "0.000", 0.9995, "1.000"},
    {"IntegerHalfUp", "0", 2.5, "3"},
    {"IntegerHalfDown", "0", -2.5, "-3"},
    {"IntegerFromHalf", "0", 0.5, "1"},
    {"TieOfTheDouble", "0.00", 0.125, "0.13"},
    // 1.005 is stored as 1.00499999999999989…; taken to 15 digits it rounds as written.
    {"DecimalTieBehindBinaryNoise", "0.00", 1.005, "1.01"},
    {"NoIntegerPlaceholder", ".00", 12.5, "12.50"},
};
INSTANTIATE_TEST_SUITE_P(ForcedDigits, FormatFloatTest,
                         testing::ValuesIn(ForcedDigitPictures), CaseName);

const PictureCase OptionalDecimalPictures[] = {
    {"TrailingZeroDropped", "#.##", 1.5, "1.5"},
    {"PointDroppedWithoutDecimals", "#.##", 1, "1"},
    {"ZeroIsEmpty", "#.##", 0, ""},
    {"NothingForced", "#", 0, ""},
    {"ForcedThenOptional", "0.0#", 2, "2.0"},
};
INSTANTIATE_TEST_SUITE_P(OptionalDecimals, FormatFloatTest,
                         testing::ValuesIn(OptionalDecimalPictures), CaseName);

const PictureCase LiteralTextPictures[] = {
    {"Range", "Range: #.000", 2.5, "Range: 2.500"},
    {"SkewnessZero", "Skewness: #.000", 0, "Skewness: .000"},
    {"StdDev", "Standard Deviation: #.000", 1.23456, "Standard Deviation: 1.235"},
    {"Kurtosis", "Kurtosis: #.000", 1e6, "Kurtosis: 1000000.000"},
    {"MinusBeforeLiteral", "Variance: #.000", -2, "-Variance: 2.000"},
    {"DoubleQuoted", "\"Total #0.\" 0.0", 3, "Total #0. 3.0"},
    {"SingleQuoted", "'x'0", 7, "x7"},
    {"Suffix", "0.0 units", 7.25, "7.3 units"},
    {"NoPlaceholderAtAll", "n=", 12, "n=12"},
    {"EmptyPictureIsGeneral", "", 2.5, "2.5"},
};
INSTANTIATE_TEST_SUITE_P(LiteralText, FormatFloatTest,
                         testing::ValuesIn(LiteralTextPictures), CaseName);

const PictureCase NotFinitePictures[] = {
    {"NaN", "#.000", NaN, "NAN"},
    {"Infinity", "Range: #.000", Inf, "INF"},
    {"MinusInfinity", "000.000", -Inf, "-INF"},
};
INSTANTIATE_TEST_SUITE_P(NotFinite, FormatFloatTest,
                         testing::ValuesIn(NotFinitePictures), CaseName);

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

const FixedCase FixedCases[] = {
    {"Midpoint", 12.5, 8, 2, "12.50"},
    {"IntegerDigitsEqualPrecision", 1234567.0, 7, 2, "1234567.00"},
    {"TooManyIntegerDigits", 123456789.0, 7, 2, "1.234568E+08"},
    {"EightDigitsPrecisionSeven", 12345678.0, 7, 2, "1.234568E+07"},
    {"RoundingPushesIntoScientific", 99999999.6, 8, 0, "1.0000000E+08"},
    {"ThreeDigitExponent", 1e300, 7, 2, "1.000000E+300"},
    {"NegativeScientific", -123456789.0, 7, 2, "-1.234568E+08"},
    {"DecimalsBeyondPrecisionAreZeros", 123.456, 4, 3, "123.500"},
    {"OneRoundingOnly", 0.12345, 4, 3, "0.123"},
    {"HalfUp", 0.125, 7, 2, "0.13"},
    {"NoDecimals", 0.5, 7, 0, "1"},
    {"NegativeRoundingToZero", -0.001, 7, 2, "0.00"},
    {"Negative", -1.5, 7, 0, "-2"},
    {"Zero", 0, 7, 3, "0.000"},
    {"Tiny", 1e-10, 7, 2, "0.00"},
    {"SmallWithDecimals", 0.000123456, 7, 6, "0.000123"},
    {"NaN", NaN, 7, 2, "NAN"},
    {"Infinity", Inf, 7, 2, "INF"},
    {"MinusInfinity", -Inf, 7, 2, "-INF"},
};
INSTANTIATE_TEST_SUITE_P(Cases, FloatToStrFTest,
                         testing::ValuesIn(FixedCases), CaseName);

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

const GeneralCase GeneralCases[] = {
    {"Fraction", 2.5, "2.5"},
    {"Tenth", 0.1, "0.1"},
    {"SumOfTenths", 0.1 + 0.2, "0.3"},
    {"Integer", 100, "100"},
    {"Negative", -1, "-1"},
    {"Zero", 0, "0"},
    {"NegativeZero", -0.0, "0"},
    {"Third", 1.0 / 3.0, "0.333333333333333"},
    {"TwoThirds", 2.0 / 3.0, "0.666666666666667"},
    {"ScaleOffset", 1.10001, "1.10001"},
    {"FifteenIntegerDigits", 123456789012345.0, "123456789012345"},
    {"SixteenIntegerDigits", 1e15, "1E15"},
    {"RoundedTo15Digits", 1234567890123456.0, "1.23456789012346E15"},
    {"Large", 1e20, "1E20"},
    {"SmallestFixed", 0.0001, "0.0001"},
    {"Small", 1.5e-5, "1.5E-5"},
    {"SmallNegative", -2.5e-7, "-2.5E-7"},
    {"NaN", NaN, "NAN"},
    {"Infinity", Inf, "INF"},
};
INSTANTIATE_TEST_SUITE_P(Cases, FloatToStrTest,
                         testing::ValuesIn(GeneralCases), CaseName);

TEST(FormatTest, IntToStrWritesPlainDecimal)
{
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-17), "-17");
    EXPECT_EQ(IntToStr(65535), "65535");
    EXPECT_EQ(IntToStr(INT64_MIN), "-9223372036854775808");
}

// Machine texts read back as the same double and are what "%.17g" writes in the C locale.
struct MachineCase {
    const char* name;
    double value;
    const char* expected;
};

void PrintTo(const MachineCase& c, std::ostream* os) { *os << c.name; }

class FloatToMachineStrTest : public testing::TestWithParam<MachineCase> {};

TEST_P(FloatToMachineStrTest, WritesSeventeenDigitsThatReadBack)
{
    const MachineCase& c = GetParam();
    EXPECT_EQ(FloatToMachineStr(c.value), c.expected);
    if (std::isfinite(c.value)) {
        EXPECT_EQ(StrToFloat(c.expected), c.value);
    }
}

const MachineCase MachineCases[] = {
    {"Tenth", 0.1, "0.10000000000000001"},
    {"Short", 2.5, "2.5"},
    {"Third", 1.0 / 3.0, "0.33333333333333331"},
    {"Large", 1e20, "1e+20"},
    {"Small", 1e-5, "1.0000000000000001e-05"},
    {"NegativeZero", -0.0, "-0"},
    {"NaN", NaN, "NAN"},
};
INSTANTIATE_TEST_SUITE_P(Cases, FloatToMachineStrTest,
                         testing::ValuesIn(MachineCases), CaseName);

struct ParseCase {
    const char* name;
    const char* text;
    std::optional<double> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class StrToFloatTest : public testing::TestWithParam<ParseCase> {};

TEST_P(StrToFloatTest, ReadsTheWholeTextWithADecimalPoint)
{
    EXPECT_EQ(StrToFloat(GetParam().text), GetParam().expected) << GetParam().text;
}

const ParseCase ParseCases[] = {
    {"Point", "2.5", 2.5},
    {"Exponent", "-1e3", -1000.0},
    {"PlusWithoutIntegerDigits", "+.5", 0.5},
    {"Infinity", "inf", Inf},
    {"DecimalComma", "2,5", std::nullopt},
    {"LeadingSpace", " 2.5", std::nullopt},
    {"TrailingText", "2.5x", std::nullopt},
    {"TwoSigns", "+-1", std::nullopt},
    {"Hexadecimal", "0x10", std::nullopt},
    {"OutOfRange", "1e999", std::nullopt},
    {"Empty", "", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(Cases, StrToFloatTest, testing::ValuesIn(ParseCases), CaseName);

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

const PathCase PathCases[] = {
    {"Unix", "/data/db/employee.db", "employee.db"},
    {"Windows", "C:\\data\\EMPLOYEE.DB", "EMPLOYEE.DB"},
    {"DriveOnly", "C:EMPLOYEE.DB", "EMPLOYEE.DB"},
    {"Mixed", "a\\b/c", "c"},
    {"Plain", "EMPLOYEE", "EMPLOYEE"},
    {"TrailingSeparator", "dir/", ""},
    {"Empty", "", ""},
};
INSTANTIATE_TEST_SUITE_P(Cases, ExtractFileNameTest,
                         testing::ValuesIn(PathCases), CaseName);

// A windowed program adopts the user's locale at start-up. Every table above must come out
// byte for byte the same under a locale with a decimal comma and under one whose decimal
// separator is a two-byte character, where printf would write "2,5" and "2\u066B5".
struct LocaleCase {
    const char* name;
    const char* locale;
};

void PrintTo(const LocaleCase& c, std::ostream* os) { *os << c.name; }

// Sets the process locale for one test and puts the previous one back.
class ProcessLocale {
public:
    explicit ProcessLocale(const char* name)
        : previous_(std::setlocale(LC_ALL, nullptr)), set_(std::setlocale(LC_ALL, name) != nullptr)
    {
    }
    ~ProcessLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
    ProcessLocale(const ProcessLocale&) = delete;
    ProcessLocale& operator=(const ProcessLocale&) = delete;

    bool IsSet() const { return set_; }

private:
    std::string previous_;
    bool set_;
};

class FormatUnderLocaleTest : public testing::TestWithParam<LocaleCase> {};

TEST_P(FormatUnderLocaleTest, WritesAndReadsTheSameTextsAsUnderC)
{
    const ProcessLocale locale(GetParam().locale);
    ASSERT_TRUE(locale.IsSet()) << "the locale " << GetParam().locale
                                << " is not installed; run scripts/install-deps.sh as root";
    // Otherwise the test would prove nothing.
    ASSERT_STRNE(std::localeconv()->decimal_point, ".");

    using Pictures = std::span<const PictureCase>;
    for (Pictures table : {Pictures(OptionalIntegerDigitPictures), Pictures(ForcedDigitPictures),
                           Pictures(OptionalDecimalPictures), Pictures(LiteralTextPictures)})
        for (const PictureCase& c : table)
            EXPECT_EQ(FormatFloat(c.picture, c.value), c.expected) << c.name;
    for (const FixedCase& c : FixedCases)
        EXPECT_EQ(FloatToStrF(c.value, c.precision, c.digits), c.expected) << c.name;
    for (const GeneralCase& c : GeneralCases)
        EXPECT_EQ(FloatToStr(c.value), c.expected) << c.name;
    for (const MachineCase& c : MachineCases)
        EXPECT_EQ(FloatToMachineStr(c.value), c.expected) << c.name;
    for (const ParseCase& c : ParseCases)
        EXPECT_EQ(StrToFloat(c.text), c.expected) << c.name;
    EXPECT_EQ(IntToStr(-1234567), "-1234567");
}

INSTANTIATE_TEST_SUITE_P(Locales, FormatUnderLocaleTest, testing::Values(
    LocaleCase{"DecimalComma", "de_DE.UTF-8"},
    LocaleCase{"TwoByteDecimalSeparator", "ps_AF.UTF-8"}), CaseName);

} // namespace
} // namespace zel

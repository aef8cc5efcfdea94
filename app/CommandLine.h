// The parts of zelstat that are plain text work: its options, and the texts it writes for
// machines (JSON, CSV) and for people (one line per message). Nothing here depends on the
// user's locale.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zel::cli {

// A mistake in the command line: one line says what was wrong, the next where the usage is,
// and the exit code is 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    // The values of --param, the one option that may be given again, in their order.
    std::vector<std::string> params;
    bool Has(const std::string& key) const { return values.count(key) != 0; }
    std::string Get(const std::string& key, const std::string& fallback = {}) const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
};

// The command and its options. Only the options of that command are accepted, each at most
// once; anything else is a UsageError. "--help", "-h" and "help" give the command "help";
// "--version" and "version" the command "version".
Options Parse(int argc, char** argv);

// The whole text as a whole number in low..high, or a UsageError naming the option. No
// leading blanks, no sign but '-', no base prefix: "10" and nothing like it.
long ParseInteger(const std::string& text, const std::string& option, long low, long high);
// A query parameter from --param NAME=VALUE: an integer when VALUE is a whole integer literal
// within int64, else a double when all of it reads as a finite number in the C locale, else
// text; NAME:text=VALUE keeps VALUE as text ("007" stays 007). A UsageError without a '=', with
// an empty name or another type than text.
struct ParamOption {
    enum class Kind { Integer, Real, Text };
    std::string name;
    Kind kind = Kind::Text;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string text;
};
ParamOption ParseParam(const std::string& option);

// The whole text as a finite number written with a '.', whatever the locale.
double ParseNumber(const std::string& text, const std::string& option);

// A number as JSON writes it (17 significant digits, '.'), or null when it is not finite.
std::string JsonNumber(double value);
// A number for CSV: the shortest text that reads back to the same double ('.', no locale);
// empty when it is not finite.
std::string CsvNumber(double value);
// A number for people to read: `digits` significant digits, '.', whatever the locale;
// "undefined" when it is not finite.
std::string ShortNumber(double value, int digits = 7);
// A CSV field: quoted, with quotes doubled, when it is empty or holds a comma, a quote, a line
// break or blanks at its ends, so that an empty text stays apart from a missing one.
std::string CsvField(std::string_view text);
// A JSON string. Bytes that are not UTF-8 become U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);
// A text on one line: line breaks and other control characters escaped, a text longer than
// `limit` bytes cut at a character boundary and ended with "…".
std::string OneLine(std::string_view text, std::size_t limit = 400);

} // namespace zel::cli

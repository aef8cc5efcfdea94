#include "app/CommandLine.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace zel::cli {

namespace {

struct OptionInfo {
    const char* name;
    bool takesValue;
};

constexpr OptionInfo KnownOptions[] = {
    {"--db", true},       {"--table", true}, {"--sql", true},        {"--field", true},
    {"--scale", true},    {"--classes", true}, {"--progress", true}, {"--slot", true},
    {"--out", true},      {"--screenshot", true}, {"--json", false}, {"--csv", false},
    {"--fields", true},   {"--by", true},    {"--png", true},
    {"--spool-memory", true}, {"--no-spool", false},
    {"--on-server", false}, {"--timeout", true}, {"--percentiles", true}, {"--all", false},
    {"--output", true},   {"--param", true},
};

// The options each command accepts.
const std::map<std::string, std::set<std::string>>& CommandOptions()
{
    static const std::map<std::string, std::set<std::string>> options = {
        {"fields",
         {"--db", "--table", "--sql", "--json", "--all", "--timeout", "--output", "--param"}},
        {"summary",
         {"--db", "--table", "--sql", "--field", "--scale", "--classes", "--progress", "--json",
          "--spool-memory", "--no-spool", "--on-server", "--timeout", "--output", "--param"}},
        {"classes",
         {"--db", "--table", "--sql", "--field", "--scale", "--classes", "--slot", "--progress",
          "--json", "--csv", "--spool-memory", "--no-spool", "--on-server", "--timeout",
          "--output", "--param"}},
        {"describe",
         {"--db", "--table", "--sql", "--fields", "--by", "--json", "--csv", "--png",
          "--progress", "--percentiles", "--timeout", "--output", "--param"}},
        {"report",
         {"--db", "--table", "--sql", "--field", "--scale", "--classes", "--out", "--spool-memory",
          "--no-spool", "--on-server", "--timeout", "--param"}},
        {"gui", {"--db", "--screenshot"}},
        {"help", {}},
        {"version", {}},
    };
    return options;
}

const OptionInfo* FindOption(const std::string& name)
{
    for (const OptionInfo& option : KnownOptions) {
        if (name == option.name)
            return &option;
    }
    return nullptr;
}

// The length of the UTF-8 character that starts at text[i], or 0 when none starts there.
std::size_t Utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t length = 0;
    char32_t code = 0;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are no characters.
    const char32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < lowest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

constexpr std::string_view Replacement = "\xEF\xBF\xBD"; // U+FFFD

// Copies text: a byte that `escape` writes (it returns true) as it wrote it, whole UTF-8
// characters as they are, bytes that are not UTF-8 as U+FFFD; past `limit` bytes it ends
// with "…".
template <class Escape>
std::string CopyText(std::string_view text, std::size_t limit, Escape escape)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (out.size() >= limit) {
            out += "\xE2\x80\xA6"; // …
            break;
        }
        if (escape(static_cast<unsigned char>(text[i]), out)) {
            ++i;
        } else if (const std::size_t length = Utf8Length(text, i); length > 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += Replacement;
            ++i;
        }
    }
    return out;
}

} // namespace

Options Parse(int argc, char** argv)
{
    Options options;
    if (argc < 2)
        throw UsageError("no command given");
    options.command = argv[1];
    if (options.command == "--help" || options.command == "-h")
        options.command = "help";
    if (options.command == "--version")
        options.command = "version";
    const auto command = CommandOptions().find(options.command);
    if (command == CommandOptions().end())
        throw UsageError("unknown command '" + OneLine(options.command, 80) + "'");
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.command = "help";
            return options;
        }
        const OptionInfo* option = FindOption(arg);
        if (option == nullptr)
            throw UsageError("unknown option " + OneLine(arg, 80));
        if (command->second.count(arg) == 0)
            throw UsageError(arg + " does not apply to zelstat " + options.command);
        if (arg == "--param") {
            if (i + 1 >= argc)
                throw UsageError(arg + " needs a value");
            options.params.push_back(argv[++i]);
            continue;
        }
        if (options.Has(arg))
            throw UsageError(arg + " is given more than once");
        if (!option->takesValue) {
            options.values[arg] = "";
            continue;
        }
        if (i + 1 >= argc)
            throw UsageError(arg + " needs a value");
        options.values[arg] = argv[++i];
    }
    if (!options.params.empty() && !options.Has("--sql"))
        throw UsageError("--param needs --sql: only a query's SQL text names parameters");
    for (const std::string& param : options.params)
        ParseParam(param);
    return options;
}

ParamOption ParseParam(const std::string& option)
{
    const std::size_t equals = option.find('=');
    std::string name = option.substr(0, equals);
    const std::size_t colon = name.find(':');
    const std::string type = colon == std::string::npos ? "" : name.substr(colon + 1);
    name.erase(std::min(colon, name.size()));
    if (equals == std::string::npos || name.empty())
        throw UsageError("--param takes NAME=VALUE or NAME:text=VALUE, not '" + OneLine(option, 80)
                         + "'");
    if (colon != std::string::npos && type != "text")
        throw UsageError("--param " + OneLine(name, 80) + ":TYPE knows only the type text, not '"
                         + OneLine(type, 80) + "'");
    ParamOption param;
    param.name = name;
    param.text = option.substr(equals + 1);
    if (colon != std::string::npos || param.text.empty())
        return param;
    const char* begin = param.text.data();
    const char* end = begin + param.text.size();
    if (const auto [stop, error] = std::from_chars(begin, end, param.integer);
        error == std::errc() && stop == end) {
        param.kind = ParamOption::Kind::Integer;
    } else if (const auto [rstop, rerror] = std::from_chars(begin, end, param.real);
               rerror == std::errc() && rstop == end && std::isfinite(param.real)) {
        param.kind = ParamOption::Kind::Real;
    }
    return param;
}

long ParseInteger(const std::string& text, const std::string& option, long low, long high)
{
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high)
        throw UsageError(option + " takes a whole number from " + std::to_string(low) + " to "
                         + std::to_string(high) + ", not '" + OneLine(text, 80) + "'");
    return value;
}

double ParseNumber(const std::string& text, const std::string& option)
{
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value))
        throw UsageError(option + " takes a number such as 2.5, not '" + OneLine(text, 80) + "'");
    return value;
}

std::string CsvNumber(double value)
{
    if (!std::isfinite(value))
        return {};
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string();
}

std::string JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
    return error == std::errc() ? std::string(text, end) : "null";
}

std::string ShortNumber(double value, int digits)
{
    if (!std::isfinite(value))
        return "undefined";
    char text[40];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, digits);
    return error == std::errc() ? std::string(text, end) : "undefined";
}

std::string CsvField(std::string_view text)
{
    const bool plain = !text.empty() && text.find_first_of(",\"\r\n") == std::string_view::npos
                       && text.front() != ' ' && text.back() != ' ';
    if (plain)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string JsonString(std::string_view s)
{
    return "\"" + CopyText(s, std::string::npos, [](unsigned char c, std::string& out) {
               switch (c) {
               case '"': out += "\\\""; return true;
               case '\\': out += "\\\\"; return true;
               case '\n': out += "\\n"; return true;
               case '\r': out += "\\r"; return true;
               case '\t': out += "\\t"; return true;
               }
               if (c >= 0x20)
                   return false;
               char escaped[8];
               std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
               out += escaped;
               return true;
           }) + "\"";
}

std::string OneLine(std::string_view text, std::size_t limit)
{
    return CopyText(text, limit, [](unsigned char c, std::string& out) {
        switch (c) {
        case '\n': out += "\\n"; return true;
        case '\r': out += "\\r"; return true;
        case '\t': out += "\\t"; return true;
        }
        if (c >= 0x20 && c != 0x7F)
            return false;
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
        out += escaped;
        return true;
    });
}

} // namespace zel::cli

// The PostgreSQL driver: one read-only connection per open dataset, and a server-side cursor
// fetched in batches, so that a pass over millions of records holds one batch in memory.
// Connection strings go through libpq's own parser, and every message shows them without
// their passwords.
#include "zelstats/data/Driver.h"
#include "zelstats/data/Guards.h"
#include "zelstats/data/Params.h"

#include <QByteArray>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include <poll.h>

namespace zel {

namespace {

// Rows per FETCH. Larger batches save round trips, smaller ones memory; past a few thousand
// rows the round trips no longer show in the time of a pass (bench/SummarizeBench.cpp).
// A walk starts with one row, as nothing tells the width of the rows before one arrives, and
// each batch may be up to kBatchGrowth times the last; every batch is then cut to what fits
// kBatchBytes at the width of the widest row of the last one, but never below one row. So a
// table of 4 MB texts is read a row at a time, and one of numbers in full batches after five
// round trips.
constexpr int kBatchRows = 10000;
constexpr int kFirstBatchRows = 1;
constexpr int kBatchGrowth = 8;
constexpr std::int64_t kBatchBytes = 4 << 20;
// What libpq keeps beside each value (its length, its pointer, a terminating zero) and each row.
constexpr std::int64_t kValueOverhead = 16;
constexpr std::int64_t kRowOverhead = 16;

constexpr const char* kCursorName = "zelstats_cursor";

// An Append over foreign tables on servers that take asynchronous requests hands on rows in
// the order they arrive, which changes from run to run; without asynchronous append it reads
// its branches one after another. A plan keeps the setting it was made with, so it is set
// for the statement that reads in order and reset after it (to the session's value: the
// aggregates want the shards to work at once).
constexpr const char* kPartitionsInTurn = "SET LOCAL enable_async_append = off";
constexpr const char* kPartitionsInAnyTurn = "RESET enable_async_append";

// Type OIDs of the built-in types (catalog pg_type); they are fixed across server versions.
enum : Oid {
    kBoolOid = 16, kByteaOid = 17, kInt8Oid = 20, kInt2Oid = 21, kInt4Oid = 23, kTextOid = 25,
    kFloat4Oid = 700, kFloat8Oid = 701, kMoneyOid = 790, kBpcharOid = 1042, kVarcharOid = 1043,
    kDateOid = 1082, kTimestampOid = 1114, kTimestamptzOid = 1184, kNumericOid = 1700
};

TFieldType KindOfType(Oid type)
{
    switch (type) {
    case kInt2Oid: return TFieldType::ftSmallint;
    case kInt4Oid: return TFieldType::ftInteger;
    case kInt8Oid: return TFieldType::ftLargeint;
    case kFloat4Oid:
    case kFloat8Oid: return TFieldType::ftFloat;
    case kNumericOid: return TFieldType::ftBCD;
    case kMoneyOid: return TFieldType::ftCurrency;
    case kDateOid: return TFieldType::ftDate;
    case kTimestampOid:
    case kTimestamptzOid: return TFieldType::ftDateTime;
    case kBoolOid: return TFieldType::ftBoolean;
    case kByteaOid: return TFieldType::ftBlob;
    default: return TFieldType::ftString; // text, varchar, bpchar and every other type
    }
}

// libpq's messages run over several lines ("server closed the connection unexpectedly\n\t
// This probably means..."); a message box wants one sentence.
std::string OneLine(const char* text)
{
    std::string line;
    bool space = false;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p))) {
            space = !line.empty();
            continue;
        }
        if (space)
            line += ' ';
        space = false;
        line += *p;
    }
    return line.empty() ? "unknown error" : line;
}

// The server's own message: the primary text of a failed statement (without the "LINE 1:"
// excerpt, which would show the cursor statement wrapped around the caller's SQL), or the
// connection's message when the statement never got an answer (a lost connection).
std::string ServerMessage(PGconn* conn, const PGresult* result)
{
    if (result != nullptr) {
        const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        if (primary != nullptr && *primary != '\0') {
            std::string message = OneLine(primary);
            if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL))
                message += " (" + OneLine(detail) + ")";
            return message;
        }
    }
    // Failures found by libpq itself; the connection's message also keeps what the server
    // said last ("terminating connection due to administrator command").
    if (conn != nullptr && *PQerrorMessage(conn) != '\0')
        return OneLine(PQerrorMessage(conn));
    if (result != nullptr)
        return OneLine(PQresultErrorMessage(result));
    return "out of memory";
}

// The text with every occurrence of a secret replaced by "***". A secret of one or two
// characters is replaced only where it stands alone (between non-alphanumeric characters, as
// libpq quotes a value it echoes), so that a password "a" does not turn every message into
// asterisks.
std::string Scrubbed(std::string text, const std::vector<std::string>& secrets)
{
    for (const std::string& secret : secrets) {
        if (secret.empty())
            continue;
        const auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
        for (std::size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at)) {
            const std::size_t end = at + secret.size();
            const bool alone = (at == 0 || !isWord(text[at - 1]))
                               && (end == text.size() || !isWord(text[end]));
            if (secret.size() >= 3 || alone) {
                text.replace(at, secret.size(), "***");
                at += 3;
            } else {
                ++at;
            }
        }
    }
    return text;
}

// The one place where a libpq failure becomes the data-access layer's exception. libpq's and
// the server's texts may echo a value of the connection string (an option it cannot read, a
// database name), so the secrets are taken out of them.
[[noreturn]] void ThrowPgError(PGconn* conn, const PGresult* result, const std::string& what,
                               const std::vector<std::string>& secrets)
{
    throw EDatabaseError(Scrubbed(what + ": " + ServerMessage(conn, result), secrets));
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnDeleter>;

// --- Connection strings

struct OptionsDeleter {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsDeleter>;

// How a connection string that libpq cannot parse appears in messages.
constexpr const char* kUnreadableConnection = "(unreadable PostgreSQL connection string)";

// A connection string as libpq's parser reads it.
struct ConnectionSpec {
    bool valid = false;
    // The options set, in libpq's order, passwords included; for PQconnectdbParams.
    std::vector<std::pair<std::string, std::string>> options;
    // Values never to show: passwords, and their percent-encoded forms.
    std::vector<std::string> secrets;
    // The connection as a URI without its passwords, or kUnreadableConnection.
    std::string display;
};

std::string PercentEncoded(const std::string& text)
{
    static const char* const kHex = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        // '*' too, so that a value with a secret taken out reads as such.
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == '*') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[u >> 4];
            encoded += kHex[u & 15];
        }
    }
    return encoded;
}

bool IsPlainHost(const std::string& host)
{
    return !host.empty() && host.find_first_of(",/:[]@?#%") == std::string::npos;
}

bool IsDigits(const std::string& text)
{
    return !text.empty()
           && std::all_of(text.begin(), text.end(),
                          [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// libpq recognises the URI scheme only in lower case; a URI written POSTGRESQL:// would
// otherwise be read as a key=value string and fail.
std::string WithLowerCaseScheme(std::string text)
{
    const std::size_t scheme = text.find("://");
    if (scheme != std::string::npos) {
        std::string name = text.substr(0, scheme);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == "postgresql" || name == "postgres")
            text.replace(0, scheme, name);
    }
    return text;
}

ConnectionSpec ParseConnection(const std::string& text, int depth = 0);

// Puts the options, and the secrets among them, into `spec`; returns the options that may be
// shown (not yet scrubbed).
std::vector<std::pair<std::string, std::string>> ReadOptions(const PQconninfoOption* options,
                                                             ConnectionSpec& spec, int depth)
{
    std::vector<std::pair<std::string, std::string>> shown;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr || *o->val == '\0')
            continue;
        const std::string keyword = o->keyword;
        const std::string value = o->val;
        spec.options.emplace_back(keyword, value);
        // libpq marks its secret options (password, sslpassword) with the display
        // character '*'.
        if (o->dispchar != nullptr && std::strchr(o->dispchar, '*') != nullptr) {
            spec.secrets.push_back(value);
            spec.secrets.push_back(PercentEncoded(value));
            continue;
        }
        if (keyword == "dbname" && depth == 0
            && (value.find('=') != std::string::npos || value.find("://") != std::string::npos)) {
            // A connection string given as a database name: its password is secret too.
            ConnectionSpec inner = ParseConnection(value, depth + 1);
            if (!inner.valid)
                spec.secrets.push_back(value);
            spec.secrets.insert(spec.secrets.end(), inner.secrets.begin(), inner.secrets.end());
        }
        shown.emplace_back(keyword, value);
    }
    return shown;
}

// The options as a URI, every secret taken out.
std::string DisplayUri(const std::vector<std::pair<std::string, std::string>>& shown,
                       const std::vector<std::string>& secrets)
{
    std::string user, host, port, dbname, query;
    for (auto& [keyword, raw] : shown) {
        const std::string value = Scrubbed(raw, secrets);
        if (keyword == "user")
            user = value;
        else if (keyword == "host" && IsPlainHost(value))
            host = value;
        else if (keyword == "port" && IsDigits(value))
            port = value;
        else if (keyword == "dbname")
            dbname = value;
        else
            query += (query.empty() ? "?" : "&") + keyword + "=" + PercentEncoded(value);
    }
    // A port goes beside its host, or among the parameters when there is no plain host.
    if (host.empty() && !port.empty())
        query += (query.empty() ? "?" : "&") + std::string("port=") + port;
    std::string display = "postgresql://";
    if (!user.empty())
        display += PercentEncoded(user) + "@";
    display += host;
    if (!host.empty() && !port.empty())
        display += ":" + port;
    display += "/" + PercentEncoded(dbname) + query;
    return Scrubbed(display, secrets);
}

ConnectionSpec ParseConnection(const std::string& text, int depth)
{
    ConnectionSpec spec;
    spec.display = kUnreadableConnection;
    char* error = nullptr;
    Options options(PQconninfoParse(WithLowerCaseScheme(text).c_str(), &error));
    // libpq's parse errors quote the text around the fault, which may be the password: they
    // are never shown.
    PQfreemem(error);
    if (options == nullptr)
        return spec;
    // First the options and the secrets, then the display, so that a secret is taken out of
    // every value shown, whatever the order of the options.
    const auto shown = ReadOptions(options.get(), spec, depth);
    spec.display = DisplayUri(shown, spec.secrets);
    spec.valid = true;
    return spec;
}

// --- Cancelling

struct CancelDeleter {
    void operator()(PGcancel* cancel) const { PQfreeCancel(cancel); }
};

// Asks the server to cancel the statement of a connection (PQcancel opens a connection of its
// own), waiting for it until `deadline` at most: the request goes from a thread of its own,
// which keeps the PGcancel alive until it is done even when nobody waits for it any more.
void SendCancel(const std::shared_ptr<PGcancel>& cancel, StatementCanceller::Deadline deadline)
    noexcept
{
    if (cancel == nullptr)
        return;
    try {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> sent = done->get_future();
        std::thread([cancel, done] {
            char error[256];
            PQcancel(cancel.get(), error, sizeof error);
            done->set_value();
        }).detach();
        sent.wait_until(deadline);
    } catch (const std::exception&) {
        // No thread to be had: the request goes from this one.
        char error[256];
        PQcancel(cancel.get(), error, sizeof error);
    }
}

// One connection's canceller: once it has cancelled, every later statement of the connection
// fails at once, and a wait for the server's answer ends.
class PgCanceller final : public StatementCanceller {
public:
    explicit PgCanceller(PGconn* conn) : cancel_(PQgetCancel(conn), CancelDeleter()) {}

    void CancelStatement(Deadline deadline) noexcept override
    {
        cancelled_.store(true);
        SendCancel(cancel_, deadline);
    }

    bool Cancelled() const noexcept { return cancelled_.load(); }
    // Cancels the statement without marking the connection cancelled (a wait that timed out).
    void SendCancelOnly(Deadline deadline) const noexcept { SendCancel(cancel_, deadline); }

private:
    std::shared_ptr<PGcancel> cancel_;
    std::atomic<bool> cancelled_{false};
};

// How long a cancel request sent on a timed-out wait may take before the read fails anyway.
constexpr std::chrono::seconds kCancelWait{2};
// The longest a wait for the server goes without looking at its canceller.
constexpr int kPollSliceMs = 100;

bool IsIdentifierChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'
           || static_cast<unsigned char>(c) >= 0x80;
}

// The position after a comment that starts at i ("--" to the end of the line, or a block
// comment, which nests), or i when none starts there.
std::size_t SkipComment(const std::string& sql, std::size_t i)
{
    if (sql.compare(i, 2, "--") == 0) {
        const std::size_t end = sql.find('\n', i);
        return end == std::string::npos ? sql.size() : end;
    }
    if (sql.compare(i, 2, "/*") != 0)
        return i;
    int depth = 0;
    while (i < sql.size()) {
        if (sql.compare(i, 2, "/*") == 0) {
            ++depth;
            i += 2;
        } else if (sql.compare(i, 2, "*/") == 0) {
            i += 2;
            if (--depth == 0)
                break;
        } else {
            ++i;
        }
    }
    return i;
}

// The position after a quoted string or name that starts at i. E'...' strings take
// backslash escapes; everywhere a doubled quote is one quote.
std::size_t SkipQuoted(const std::string& sql, std::size_t i)
{
    const char quote = sql[i];
    const bool escapes = quote == '\'' && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e')
                         && (i < 2 || !IsIdentifierChar(sql[i - 2]));
    for (++i; i < sql.size(); ++i) {
        if (escapes && sql[i] == '\\') {
            ++i;
        } else if (sql[i] == quote) {
            if (i + 1 < sql.size() && sql[i + 1] == quote)
                ++i;
            else
                break;
        }
    }
    return i + 1;
}

// Scans SQL text the way the server's lexer splits it: ';' inside a string, a quoted name,
// a comment or a dollar-quoted body is no statement end. Returns the position of the first
// ';' that ends a statement, or npos. `blank` asks only whether the text holds nothing but
// white space, comments and empty statements (then the return value is 0 for blank, npos
// otherwise).
std::size_t FindStatementEnd(const std::string& sql, bool blank)
{
    std::size_t i = 0;
    while (i < sql.size()) {
        const char c = sql[i];
        if (const std::size_t after = SkipComment(sql, i); after != i) {
            i = after;
        } else if (std::isspace(static_cast<unsigned char>(c)) || (blank && c == ';')) {
            ++i;
        } else if (blank) {
            return std::string::npos;
        } else if (c == ';') {
            return i;
        } else if (c == '\'' || c == '"') {
            i = SkipQuoted(sql, i);
        } else if (const std::size_t body = c == '$' ? PgDollarQuoteEnd(sql, i) : i; body != i) {
            i = body;
        } else {
            while (++i < sql.size() && IsIdentifierChar(c) && IsIdentifierChar(sql[i])) {}
        }
    }
    return blank ? 0 : std::string::npos;
}

// The statement's first word in upper case, comments and opening parentheses skipped.
std::string FirstWord(const std::string& sql)
{
    std::size_t i = 0;
    while (i < sql.size()) {
        if (const std::size_t after = SkipComment(sql, i); after != i)
            i = after;
        else if (std::isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '(')
            ++i;
        else
            break;
    }
    std::string word;
    for (; i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i])); ++i)
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i])));
    return word;
}

// The caller's one statement, without its trailing ';'. More than one statement is refused:
// the text is placed inside DECLARE ... CURSOR FOR, where a second statement would run on its
// own outside the cursor.
std::string SingleStatement(const std::string& sql, const std::string& source)
{
    std::string statement = sql;
    const std::size_t end = FindStatementEnd(sql, false);
    if (end != std::string::npos) {
        if (FindStatementEnd(sql.substr(end + 1), true) != 0)
            throw EDatabaseError("Cannot open " + source
                                 + ": the SQL text must hold exactly one statement");
        statement.erase(end);
    }
    if (FindStatementEnd(statement, true) == 0)
        throw EDatabaseError("Cannot open " + source + ": the SQL text is empty");
    // A cursor is declared only for a query: the reads that are not queries (EXPLAIN, SHOW)
    // are refused in the terms every driver uses, not with the server's syntax error about
    // DECLARE.
    const std::string word = FirstWord(statement);
    if (word == "EXPLAIN" || word == "SHOW")
        throw EDatabaseError("Cannot open " + source + ": " + word
                             + " is no plain read, and datasets only read");
    return statement;
}

// Money is sent as the session's lc_monetary writes it; the session sets 'C', where it reads
// "$1,234.56" or "-$1,234.56". Only the digits, the point and the sign are kept, so the value
// reads as its exact decimal number and never as text.
bool ParseMoney(const char* text, double& value)
{
    char digits[64];
    std::size_t length = 0;
    bool negative = false;
    bool any = false;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
            if (length + 1 >= sizeof digits)
                return false;
            digits[length++] = c;
            any = any || c != '.';
        } else if (c == '-' || c == '(') {
            negative = true;
        } else if (c != '$' && c != ',' && c != ')' && c != ' ') {
            return false;
        }
    }
    if (!any)
        return false;
    auto [end, error] = std::from_chars(digits, digits + length, value);
    if (error != std::errc() || end != digits + length)
        return false;
    if (negative)
        value = -value;
    return true;
}

// A column the walks read alone comes in binary when the server's binary form of its type is
// a plain big-endian number: no text to write on the server and to parse here. A float8
// comes as its own bits, as exact as its text with extra_float_digits 3.
bool ReadsInBinary(Oid type)
{
    return type == kFloat8Oid || type == kInt8Oid || type == kInt4Oid || type == kInt2Oid;
}

std::uint64_t BigEndian(const char* bytes, int length)
{
    std::uint64_t value = 0;
    for (int i = 0; i < length; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// A binary value of a type ReadsInBinary accepts as the double it stands for; false when its
// length is not the type's.
bool BinaryNumber(Oid type, const char* bytes, int length, double& value)
{
    switch (type) {
    case kFloat8Oid:
        if (length != 8)
            return false;
        value = std::bit_cast<double>(BigEndian(bytes, 8));
        return true;
    case kInt8Oid:
        if (length != 8)
            return false;
        value = static_cast<double>(static_cast<std::int64_t>(BigEndian(bytes, 8)));
        return true;
    case kInt4Oid:
        if (length != 4)
            return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(BigEndian(bytes, 4)));
        return true;
    case kInt2Oid:
        if (length != 2)
            return false;
        value = static_cast<std::int16_t>(static_cast<std::uint16_t>(BigEndian(bytes, 2)));
        return true;
    default: return false;
    }
}

// The bytes of a bytea as the server writes them: "\x4142" (bytea_output hex), or with
// octal escapes "\101\102" and "\\" for a backslash (bytea_output escape).
std::string ByteaBytes(const char* text, int length)
{
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string bytes;
    if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
        for (int i = 2; i + 1 < length; i += 2)
            bytes += static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1]));
        return bytes;
    }
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\\' && i + 3 < length && text[i + 1] != '\\') {
            bytes += static_cast<char>((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3
                                       | (text[i + 3] - '0'));
            i += 3;
        } else {
            bytes += text[i];
            i += text[i] == '\\'; // "\\"
        }
    }
    return bytes;
}

// A binary value as the server writes its text (extra_float_digits 3): integers in digits;
// floats "NaN", "Infinity" and "-Infinity", and otherwise their shortest exact digits, in
// fixed notation when the first digit's decimal exponent is from -4 to 14, else as
// "1.5e+300" or "1e-05".
std::string BinaryText(Oid type, const char* bytes, int length)
{
    double value = 0.0;
    if (!BinaryNumber(type, bytes, length, value))
        return std::string(bytes, length);
    char text[64];
    if (type != kFloat8Oid) {
        const std::int64_t whole = type == kInt8Oid
                                       ? static_cast<std::int64_t>(BigEndian(bytes, 8))
                                       : static_cast<std::int64_t>(value);
        return std::string(text, std::to_chars(text, text + sizeof text, whole).ptr);
    }
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* e = std::find(text + 0, end, 'e');
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
    if (exponent >= -4 && exponent < 15)
        end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
    return std::string(text + 0, end);
}

// --- The statements of the summaries the server computes

// A double as float8 text that reads back as exactly that double (17 significant digits,
// '.', whatever the locale; "Infinity", "-Infinity", "NaN").
std::string Float8Text(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    char text[32];
    const auto end =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17).ptr;
    return std::string(text, end);
}

// A float8 array literal of the values, each exact.
std::string Float8Array(const std::vector<double>& values)
{
    std::string array = "{";
    for (std::size_t i = 0; i < values.size(); ++i)
        array += (i > 0 ? "," : "") + Float8Text(values[i]);
    return array + "}";
}

// The values of a statement's $1, $2, ...: each with its type, or 0 where the server infers
// it (text, whose type the statement decides, and null), and its format (bytea goes in
// binary, as its bytes, so that no escaping is needed).
struct PgParams {
    std::vector<std::string> values;
    std::vector<bool> nulls;
    std::vector<Oid> types;
    std::vector<int> formats;

    void Add(std::string value, Oid type = 0, int format = 0, bool null = false)
    {
        values.push_back(std::move(value));
        nulls.push_back(null);
        types.push_back(type);
        formats.push_back(format);
    }
    void Append(const PgParams& more)
    {
        for (std::size_t i = 0; i < more.values.size(); ++i)
            Add(more.values[i], more.types[i], more.formats[i], more.nulls[i]);
    }
    bool Empty() const { return values.empty(); }
};

PgParams TextParams(const std::vector<std::string>& texts)
{
    PgParams params;
    for (const std::string& text : texts)
        params.Add(text);
    return params;
}

// A query's values, $n for the n-th: integers as int8, doubles as float8 (exact text).
PgParams QueryParams(const std::vector<TQueryParam>& params)
{
    PgParams bound;
    for (const TQueryParam& param : params) {
        const QVariant& v = param.value;
        switch (KindOfParam(v)) {
        case ParamKind::Null: bound.Add({}, 0, 0, true); break;
        case ParamKind::Integer: bound.Add(std::to_string(v.toLongLong()), kInt8Oid); break;
        case ParamKind::Real: bound.Add(Float8Text(v.toDouble()), kFloat8Oid); break;
        case ParamKind::Bytes: {
            const QByteArray bytes = v.toByteArray();
            bound.Add(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                      kByteaOid, 1);
            break;
        }
        case ParamKind::Text: bound.Add(v.toString().toStdString()); break;
        }
    }
    return bound;
}

// What the statements read of one column: the records as a FROM item named zel_rows, the
// column itself (for its nulls and its text), the column as the float8 a walk reads (value),
// and as a number whose sum the server takes exactly (decimal; empty for floats, which are
// summed by parts).
struct ColumnSql {
    std::string relation;
    std::string field;
    std::string value;
    std::string decimal;
};

std::string ValuesSelect(const ColumnSql& c)
{
    return "SELECT " + c.value + " AS x FROM " + c.relation + " WHERE " + c.field + " IS NOT NULL";
}

// The float parts of the load, each summed exactly: a float's sum has no exact cast to numeric,
// and its text (exact) costs several times the scan. Its parts above 2^-32 (below 2^31) or
// above 1 (below 2^62) are integers that bigint sums exactly; a float of 2^62 or more is an
// integer, a multiple of a power of two 2^k that leaves fewer than 63 bits (k from its binary
// logarithm, which may be off by one), and numeric sums it exactly as that multiple. What
// remains of the others, summed in float8, is off by far less than the walk's compensated
// total: its partial sums stay below n, or n 2^-32. Every part is exact: trunc, and the
// product and quotient by a power of two, drop only bits, and a value less its upper bits is
// its lower bits. A float that is not finite falls in no part; min and max show it.
//
// With `small`, the parts of floats below 2^31 alone, the others taken as 0: exact where the
// least and the greatest value lie between -2^31 and 2^31, as in most columns. The parts of
// the larger floats, tested on every row though no row holds one, took a fifth to a third of
// the load on a shard of 1,000,000 rows.
std::string FloatParts(bool small)
{
    const std::string units = "coalesce(sum(CASE WHEN abs(x) < 2147483648::float8 THEN "
                              "trunc(x * 4294967296::float8)::int8 END), 0)";
    const std::string belowUnits = "CASE WHEN abs(x) < 2147483648::float8 THEN "
                                   "x - trunc(x * 4294967296::float8) / 4294967296::float8 ";
    if (small)
        return units + ", 0, 0, coalesce(sum(" + belowUnits + "ELSE 0::float8 END), 0)";
    return units
           + ", coalesce(sum(CASE WHEN abs(x) >= 2147483648::float8 AND "
             "abs(x) < 4611686018427387904::float8 THEN trunc(x)::int8 END), 0), "
             "coalesce(sum(CASE WHEN abs(x) >= 4611686018427387904::float8 AND "
             "abs(x) < 'Infinity'::float8 THEN "
             "trunc(x / power(2::float8, floor(ln(abs(x)) / ln(2::float8)) - 60))::int8::numeric "
             "* power(2::numeric, (floor(ln(abs(x)) / ln(2::float8)) - 60)::int) END), 0), "
             "coalesce(sum("
           + belowUnits
           + "WHEN abs(x) < 4611686018427387904::float8 THEN x - trunc(x) ELSE 0::float8 END), 0)";
}

// A value that the small float parts sum: between -2^31 and 2^31 (not a NaN).
bool SmallFloat(double value)
{
    return value > -2147483648.0 && value < 2147483648.0;
}

// Whether a load row's sum, taken with the small float parts, is whole.
bool SmallFloatsOnly(const ServerLoadPart& part)
{
    return part.count == 0 || (SmallFloat(part.minimum) && SmallFloat(part.maximum));
}

// One row: the number of values; their sum in four parts (a count of 2^-32, a whole number
// and a multiple of a power of two, all summed exactly, and a float8 sum of what remains of
// each float); the least and the greatest value (NaN above every number). With `small`, the
// parts of floats below 2^31 alone.
std::string LoadStatement(const ColumnSql& c, bool small)
{
    const std::string parts =
        c.decimal.empty() ? FloatParts(small) : "0, coalesce(sum(exact), 0), 0, 0";
    const std::string exact = c.decimal.empty() ? "" : ", " + c.decimal + " AS exact";
    return "SELECT count(x), " + parts + ", min(x), max(x) FROM (SELECT " + c.value + " AS x"
           + exact + " FROM " + c.relation + " WHERE " + c.field + " IS NOT NULL) AS zel_values";
}

// The record number (counting nulls) and the text of the first value that is not finite, or
// with `numbers` false (a column that holds no numbers) of the first that is not null.
std::string FirstUnreadableStatement(const ColumnSql& c, bool numbers)
{
    const std::string unreadable =
        numbers ? "abs(" + c.value + ") >= 'Infinity'::float8" : c.field + " IS NOT NULL";
    return "SELECT n, t FROM (SELECT row_number() OVER () AS n, " + c.field + "::text AS t, "
           + unreadable + " AS unreadable FROM " + c.relation
           + ") AS zel_numbered WHERE unreadable ORDER BY n LIMIT 1";
}

// d^k by products, 0 where the power is below float8's least value: the server fails on a
// product that rounds to 0, where the walk's exp(k ln |d|) gives 0. The walk's powers and the
// products agree to a few units in the last place of each term, far inside the sums'
// agreement, and the server's pass took half as long again with a logarithm and an
// exponential per term (measured on 2,000,000 records). At or above 2^-537, 2^-358 or 2^-268
// every product stays at or above 2^-1074. A d that is not 0 is at least half a unit in the
// last place of `mean` (the mean as the pass subtracts it): a value of at least half the
// mean's size is a multiple of that half unit, as the mean is, and a smaller one lies more
// than half the mean away. Where that half unit reaches the bound, no product can round to 0
// and the guard goes: it took a quarter of the pass on a shard of 1,000,000 rows (an abs, a
// comparison and d written out once more per power).
std::string Power(int k, double mean)
{
    const int least = k == 2 ? -537 : k == 3 ? -358 : -268;
    const std::string product = k == 2 ? "d * d" : k == 3 ? "d * d * d" : "(d * d) * (d * d)";
    if (std::isfinite(mean) && mean != 0.0 && std::ilogb(mean) - 53 >= least)
        return product;
    return "CASE WHEN abs(d) >= '" + Float8Text(std::ldexp(1.0, least)) + "'::float8 THEN "
           + product + " ELSE 0::float8 END";
}

// Each value divided by ScaleBy ($3, or $2 without bounds). A quotient below float8's least
// value is 0, as the walk's division gives it, where the server would fail on it: a value at
// most |ScaleBy| 2^-1074 (rounded up) is taken as 0. A division by 1 changes no value, and one
// per row cost a tenth of the statement (measured on 10,000,000 records): without a ScaleBy the
// values are taken as read.
std::string ScaledValue(std::size_t bounds, double scaleBy)
{
    if (scaleBy == 1.0)
        return "zel_values.x";
    const std::string scale = "$" + std::to_string(bounds > 0 ? 3 : 2) + "::float8";
    const std::string quotient = "zel_values.x / " + scale;
    if (!(std::fabs(scaleBy) > 1.0))
        return quotient;
    const double least = std::nextafter(std::ldexp(std::fabs(scaleBy), -1074), HUGE_VAL);
    return "CASE WHEN abs(zel_values.x) > '" + Float8Text(least) + "'::float8 THEN " + quotient
           + " ELSE 0::float8 END";
}

// A value times 2^shift, exact in float8; the value itself without a shift.
std::string Scaled(const std::string& value, int shift)
{
    if (shift == 0)
        return value;
    return value + " * '" + Float8Text(std::ldexp(1.0, shift)) + "'::float8";
}

// $1 the mean (times 2^shift); with `bounds` above 0, $2 the sorted bounds (a float8 array of that many); and
// ScaleBy as the last parameter unless it is 1. A row per piece that holds a value, in no
// order: the piece (width_bucket), its number of values, and the sums of d^2, d^3 and d^4
// (0 where the pass takes no such sum). Without bounds one row, piece 0. `branch` writes it
// for one partition of a partitioned table, in the form a foreign table's server can run
// whole (postgres_fdw ships an aggregate only over the foreign table itself, never over the
// UNION ALL below).
std::string PassStatement(const ColumnSql& c, const ServerPassRequest& request,
                          bool branch = false)
{
    const std::size_t bounds = request.bounds.size();
    const double mean = std::ldexp(request.mean, request.shift);
    const std::string s2 = request.power2 ? Power(2, mean) : "0::float8";
    const std::string s3 = request.power3 ? Power(3, mean) : "0::float8";
    const std::string s4 = request.power4 ? Power(4, mean) : "0::float8";
    const std::string value = ScaledValue(bounds, request.scaleBy);
    const std::string piece = bounds > 0 ? "width_bucket(" + value + ", $2::float8[])" : "0";
    // The piece and d of each value, as a UNION ALL whose second branch reads no row (its
    // condition is false: the planner drops it or never runs it). Of a UNION ALL's column
    // the planner has no statistics and takes the default number of groups, a few hundred,
    // so that each worker hashes its part of the rows by piece; of the piece's own
    // expression it would take the field's distinct values (every value, for a float) and
    // sort every row, or hash without workers. And the scan works out d once for the three
    // powers, where a subquery's column would be written out, and worked out, in each of
    // them. Both together took the statement from 2.0 s to 1.1 s on 10,000,000 records
    // against joining the pieces to a generate_series for the estimate.
    const std::string deviations = "(SELECT " + piece + " AS piece, "
                                   + Scaled(value, request.shift) + " - $1::float8 AS d FROM ("
                                   + ValuesSelect(c) + ") AS zel_values";
    const std::string distances =
        deviations
        + (branch ? "" : " UNION ALL SELECT NULL::integer, NULL::float8 FROM " + c.relation
                             + " WHERE false")
        + ") AS zel_distances";
    const std::string sums = "count(*), coalesce(sum(" + s2 + "), 0), coalesce(sum(" + s3
                             + "), 0), coalesce(sum(" + s4 + "), 0) FROM " + distances;
    if (bounds == 0)
        return "SELECT 0, " + sums;
    // A shard runs a branch through postgres_fdw's cursor, and PostgreSQL plans a cursor for
    // its first rows: it sorts every row by piece and aggregates the groups as they are
    // fetched, where hashing them takes less than half as long (measured on 1,000,000 rows).
    // Groups in the order of their counts come only after every row is grouped, so the shard
    // plans for the whole result, and hashes.
    return "SELECT piece, " + sums + " GROUP BY piece" + (branch ? " ORDER BY count(*)" : "");
}

std::vector<std::string> PassParameters(const ServerPassRequest& request)
{
    std::vector<std::string> params{Float8Text(std::ldexp(request.mean, request.shift))};
    if (!request.bounds.empty())
        params.push_back(Float8Array(request.bounds));
    if (request.scaleBy != 1.0)
        params.push_back(Float8Text(request.scaleBy));
    return params;
}

// A cell of a summary's result: a null or a text that does not read whole is a fault of the
// statement, never a value.
template <class T>
T Cell(const PGresult* result, int row, int column, const std::string& source)
{
    if (row >= PQntuples(result) || column >= PQnfields(result)
        || PQgetisnull(result, row, column))
        throw EDatabaseError("Cannot read " + source + ": the server gave no result");
    const char* text = PQgetvalue(result, row, column);
    const char* end = text + PQgetlength(result, row, column);
    T value{};
    // from_chars reads "NaN", "Infinity" and "-Infinity" too, and never by the locale.
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end)
        throw EDatabaseError("Cannot read " + source + ": the server gave '"
                             + std::string(text, end) + "' where a number belongs");
    return value;
}

// A numeric sum's text (digits, a sign, a point) as its rounded double and what the rounding
// leaves out, to about 2^-104 of its size: the digits are taken in pairs of doubles (an
// exact product by fma, an exact sum by two-sum), where a long double would keep 64 bits and
// lose the part that cancels against another partition's sum. Digits after the point are
// divided out in extended precision.
void ReadLargeSum(const PGresult* result, int row, int column, const std::string& source,
                  double& high, double& low)
{
    Cell<long double>(result, row, column, source); // a number, or the cell's message
    const char* text = PQgetvalue(result, row, column);
    const bool negative = *text == '-';
    // numeric writes its scale ("...312.0000000000000000"): the zeros after the point go.
    const char* end = text + std::strlen(text);
    if (std::strchr(text, '.') != nullptr) {
        while (end[-1] == '0')
            --end;
        end -= end[-1] == '.';
    }
    high = low = 0.0;
    int decimals = -1;
    for (const char* p = text + (negative || *text == '+'); p != end; ++p) {
        if (*p == '.') {
            decimals = 0;
            continue;
        }
        const double digit = *p - '0', product = high * 10.0;
        low = low * 10.0 + std::fma(high, 10.0, -product);
        const double sum = product + digit;
        low += (product - sum) + digit; // exact: |product| >= digit or product is 0
        high = sum + low;
        low -= high - sum;
        decimals += decimals >= 0;
    }
    if (decimals > 0) {
        const long double value =
            (static_cast<long double>(high) + low) / std::pow(10.0L, decimals);
        high = static_cast<double>(value);
        low = static_cast<double>(value - high);
    }
    if (negative) {
        high = -high;
        low = -low;
    }
}

// Adds `value` to `sum`, and to `error` what the addition rounds off (Neumaier's two-sum).
void AddCompensated(double value, double& sum, double& error)
{
    const double t = sum + value;
    error += std::fabs(sum) >= std::fabs(value) ? (sum - t) + value : (value - t) + sum;
    sum = t;
}

// With `tagged`, the row's first cell is its part.
ServerLoadPart LoadPart(const PGresult* result, int row, bool tagged, const std::string& source)
{
    ServerLoadPart part;
    const int first = tagged ? 1 : 0;
    part.part = tagged ? Cell<std::int64_t>(result, row, 0, source) : 0;
    part.count = Cell<std::int64_t>(result, row, first, source);
    if (part.count == 0)
        return part;
    // The parts of the sum, each a rounded value and its remainder (the exact sums are
    // numeric texts, beyond a double's bits), are added by two-sum, which keeps a small part
    // beside a large one: a partition's 0.5 and 1e-64 stay apart until its 0.5 cancels against
    // another partition's -0.5. Extended precision would round the 1e-64 away.
    double units[2], wholes[2], multiples[2];
    ReadLargeSum(result, row, first + 1, source, units[0], units[1]);
    ReadLargeSum(result, row, first + 2, source, wholes[0], wholes[1]);
    ReadLargeSum(result, row, first + 3, source, multiples[0], multiples[1]);
    double sum = 0.0, error = 0.0;
    for (const double value : {multiples[0], wholes[0], std::ldexp(units[0], -32), multiples[1],
                               wholes[1], std::ldexp(units[1], -32),
                               Cell<double>(result, row, first + 4, source)})
        AddCompensated(value, sum, error);
    part.total = sum + error;
    part.remainder = error - (part.total - sum);
    part.minimum = Cell<double>(result, row, first + 5, source);
    part.maximum = Cell<double>(result, row, first + 6, source);
    return part;
}

// A piece row of a pass; with `tagged`, its first cell is its part.
ServerPiece PieceRow(const PGresult* result, int row, bool tagged, const std::string& source)
{
    const int first = tagged ? 1 : 0;
    return {tagged ? Cell<std::int64_t>(result, row, 0, source) : 0,
            Cell<std::int64_t>(result, row, first, source),
            Cell<std::int64_t>(result, row, first + 1, source),
            Cell<double>(result, row, first + 2, source),
            Cell<double>(result, row, first + 3, source),
            Cell<double>(result, row, first + 4, source)};
}

// The branches one after another, as one statement.
std::string UnionAll(const std::vector<std::string>& branches)
{
    std::string sql;
    for (const std::string& branch : branches)
        sql += (sql.empty() ? "" : "\nUNION ALL\n") + branch;
    return sql;
}

// A leaf partition of a partitioned table: its name as the server writes a regclass (quoted,
// and schema-qualified where the search path does not find it) and, for a foreign table, the
// name of its foreign server (else empty).
struct Partition {
    std::string name;
    std::string server;
};

// The table's own row and every partition of its partition tree (partitions of partitions
// too), in OID order: the order in which they were created or attached, which the catalogue
// keeps and every open of the table finds again. $1 the quoted table name; no row where it
// names no table. Catalogue reads only: no partition is scanned.
const char* const kPartitionTree =
    "SELECT t.relid::regclass::text, t.isleaf, t.level, c.relkind, coalesce(s.srvname, '') "
    "FROM pg_partition_tree(to_regclass($1)) AS t JOIN pg_class AS c ON c.oid = t.relid "
    "LEFT JOIN pg_foreign_table AS f ON f.ftrelid = t.relid "
    "LEFT JOIN pg_foreign_server AS s ON s.oid = f.ftserver ORDER BY t.relid::oid";

// A failure that may be a foreign server's: a connection that failed or was lost (class 08),
// a server shut down (class 57, but for a cancel, 57014), or the foreign data wrapper's own
// errors (class HV).
bool MayBeForeignServers(const PGresult* result)
{
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (state == nullptr)
        return false;
    const std::string code = state;
    return code.starts_with("08") || code.starts_with("HV")
           || (code.starts_with("57") && code != "57014");
}

TReplaceable<PgStatementLog> summaryLog;

void TellSummaryLog(const std::string& sql, const std::vector<std::string>& params)
{
    if (const PgStatementLog log = summaryLog.Current())
        log(sql, params);
}

class PgCursor : public DataCursor, public ServerSummaries {
public:
    // `table` is the quoted name of the table the SQL text reads whole, or empty for a query,
    // whose text is kept as it is.
    PgCursor(const ConnectionSpec& connection, const std::string& sql, std::string table,
             const std::string& source, const CursorOptions& options)
        : source_(source),
          secrets_(connection.secrets),
          sql_(SingleStatement(sql, source_)),
          table_(std::move(table)),
          waitLimit_(options.waitLimit),
          params_(options.params)
    {
        // A parameter that is not set, or not named, fails before the server is asked.
        query_ = table_.empty() ? NumberedQuery(0) : sql_;
        bound_ = QueryParams(params_);
        Connect(connection);
        InferParamTypes();
        StartTransaction();
        txn_ = Txn::Walk;
        if (!table_.empty() && FindPartitions()) {
            ReadColumnsWithoutRows();
            withoutRows_ = true;
            return;
        }
        Declare(-1);
        FetchBatch(kFirstBatchRows);
        ReadColumns();
        fresh_ = true;
    }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }
    bool OpensWithoutReading() const override { return withoutRows_; }

    void Rewind() override
    {
        CheckUsable("Cannot read ");
        const int wanted = table_.empty() ? -1 : restrictTo_;
        if (snapshot_) {
            EnsureSnapshot();
            // The cursor declared at opening, when the snapshot took over its transaction.
            if (fresh_ && selected_ == wanted)
                return;
            if (declared_)
                Execute(std::string("CLOSE ") + kCursorName, PGRES_COMMAND_OK, "Cannot read ");
        } else {
            // Nothing read since the cursor was declared at opening: it stands at the start.
            if (fresh_ && selected_ == wanted)
                return;
            // A transaction per walk, so that each walk sees the data as it is when it starts;
            // this also ends one that an earlier failure (a division by zero halfway) aborted.
            StartTransaction();
            txn_ = Txn::Walk;
        }
        Declare(wanted);
        FetchBatch(kFirstBatchRows);
    }

    bool Fetch() override
    {
        if (atEnd_)
            return false;
        fresh_ = false;
        if (++row_ < rows_)
            return true;
        // A short batch was the last one; a full one may be followed by more, or by none:
        // only the next (possibly empty) fetch tells.
        if (rows_ < requested_) {
            atEnd_ = true;
            return false;
        }
        FetchBatch(NextBatchRows());
        if (rows_ == 0) {
            atEnd_ = true;
            return false;
        }
        row_ = 0;
        return true;
    }

    std::int64_t CountRecords() override
    {
        if (count_ >= 0)
            return count_;
        if (snapshot_) {
            EnsureSnapshot();
        } else if (PQtransactionStatus(conn_.get()) == PQTRANS_INERROR) {
            Execute("ROLLBACK", PGRES_COMMAND_OK, "Cannot count the records of ");
            EndedTransaction();
        }
        Result result = Run(CountSql(), bound_, false, PGRES_TUPLES_OK,
                            "Cannot count the records of ");
        std::int64_t n = 0;
        const char* text = PQgetvalue(result.get(), 0, 0);
        std::from_chars(text, text + std::strlen(text), n);
        count_ = n;
        return count_;
    }

    void BeginSnapshot() override
    {
        snapshot_ = true;
        count_ = -1;
        // Right after opening, the open transaction has read nothing but the declared cursor,
        // so its snapshot is the cursor's: the read snapshot takes it over, and the first walk
        // reads the batch already here. Otherwise the first Rewind or count starts one.
        if (fresh_ && txn_ == Txn::Walk && PQtransactionStatus(conn_.get()) == PQTRANS_INTRANS)
            txn_ = Txn::Snapshot;
    }

    void EndSnapshot() override
    {
        snapshot_ = false;
        count_ = -1;
        // Nothing is held until the next walk: no snapshot that keeps old row versions from
        // vacuum, no lock that keeps a writer's ALTER TABLE waiting. The current batch stays,
        // so the current record can still be read.
        if (txn_ != Txn::None && Usable()) {
            try {
                Execute("ROLLBACK", PGRES_COMMAND_OK, "Cannot read ");
            } catch (const EDatabaseError&) {
                // The next walk's BEGIN reports what is wrong with the connection.
            }
        }
        EndedTransaction();
    }

    void RestrictToColumn(int column) noexcept override
    {
        restrictTo_ = column >= 0 && column < static_cast<int>(columns_.size()) ? column : -1;
    }

    bool IsNull(int column) const override
    {
        return PQgetisnull(batch_.get(), row_, ResultColumn(column)) != 0;
    }

    bool ReadDouble(int column, double& value) const override
    {
        const TFieldType kind = columns_[column].type;
        if (!IsNumberKind(kind))
            return false; // a NULL reads as "", which no parser below accepts
        const int field = ResultColumn(column);
        // PQgetvalue gives a null pointer for a column the result does not hold.
        const char* text = PQgetvalue(batch_.get(), row_, field);
        if (text == nullptr)
            return false;
        if (binary_) {
            return !PQgetisnull(batch_.get(), row_, field)
                   && BinaryNumber(types_[column], text, PQgetlength(batch_.get(), row_, field),
                                   value);
        }
        if (kind == TFieldType::ftCurrency)
            return ParseMoney(text, value);
        // Text results: integers, "1.5e+300", numeric's "123.4500", and float8's "NaN",
        // "Infinity" and "-Infinity", which from_chars reads as the non-finite doubles they
        // are. from_chars is locale independent, unlike strtod.
        const char* end = text + PQgetlength(batch_.get(), row_, field);
        auto [stop, error] = std::from_chars(text, end, value);
        return error == std::errc() && stop == end;
    }

    std::string ReadText(int column) const override
    {
        const int field = ResultColumn(column);
        if (PQgetisnull(batch_.get(), row_, field))
            return std::string();
        const char* text = PQgetvalue(batch_.get(), row_, field);
        if (binary_ && text != nullptr)
            return BinaryText(types_[column], text, PQgetlength(batch_.get(), row_, field));
        if (columns_[column].type == TFieldType::ftBoolean)
            return *text == 't' ? "True" : "False";
        if (columns_[column].type == TFieldType::ftBlob)
            return "(binary data)";
        return std::string(text, PQgetlength(batch_.get(), row_, field));
    }

    ServerSummaries* Summaries() override { return this; }
    StatementCanceller* Canceller() override { return canceller_.get(); }

    TGroupKey ReadKey(int column) const override
    {
        const int field = ResultColumn(column);
        if (types_[column] != kByteaOid || PQgetisnull(batch_.get(), row_, field))
            return DataCursor::ReadKey(column);
        return TGroupKey::Blob(ByteaBytes(PQgetvalue(batch_.get(), row_, field),
                                          PQgetlength(batch_.get(), row_, field)));
    }

    bool HoldsNumbers(int column) const override
    {
        switch (types_.at(column)) {
        case kInt2Oid:
        case kInt4Oid:
        case kInt8Oid:
        case kNumericOid:
        case kFloat8Oid:
        case kFloat4Oid:
        case kMoneyOid: return true;
        default: return false;
        }
    }

    // Floats whose sample lies between -2^31 and 2^31 are loaded without the parts of larger
    // ones; where a partition's extremes then show a larger value, or one that is not finite,
    // the load runs again with every part in its place.
    std::vector<ServerLoadPart> Load(int column, std::span<const double> sample) override
    {
        const ColumnSql c = NumberSqlOf(column);
        const bool small = c.decimal.empty() && std::ranges::all_of(sample, SmallFloat);
        std::vector<ServerLoadPart> parts = LoadParts(c, small);
        if (small && !std::ranges::all_of(parts, SmallFloatsOnly))
            parts = LoadParts(c, false);
        return parts;
    }

    std::vector<double> FirstValues(int column, std::size_t count) override
    {
        const Result result = Summarize(
            ValuesSelect(InWalkOrder(NumberSqlOf(column))) + " LIMIT " + std::to_string(count), {},
            true);
        std::vector<double> values;
        for (int row = 0; row < PQntuples(result.get()); ++row)
            values.push_back(Cell<double>(result.get(), row, 0, source_));
        return values;
    }

    std::vector<ServerPiece> Pass(int column, const ServerPassRequest& request) override
    {
        const std::vector<std::string> own = PassParameters(request);
        const auto pass = [&request](const ColumnSql& c, bool branch) {
            return PassStatement(c, request, branch);
        };
        const Result result =
            Summarize(EachPartition(NumberSqlOf(column, own.size()), pass), own, false);
        std::vector<ServerPiece> pieces;
        for (int row = 0; row < PQntuples(result.get()); ++row)
            pieces.push_back(PieceRow(result.get(), row, SplitsByPartition(), source_));
        return pieces;
    }

    std::optional<ServerUnreadable> FirstUnreadable(int column, bool numbers) override
    {
        const Result result =
            Summarize(FirstUnreadableStatement(InWalkOrder(SqlOf(column)), numbers), {}, true);
        if (PQntuples(result.get()) == 0)
            return std::nullopt;
        return ServerUnreadable{Cell<std::int64_t>(result.get(), 0, 0, source_),
                                PQgetisnull(result.get(), 0, 1) ? std::string()
                                                                : PQgetvalue(result.get(), 0, 1)};
    }

private:
    std::vector<ServerLoadPart> LoadParts(const ColumnSql& column, bool small)
    {
        const auto load = [small](const ColumnSql& c, bool) { return LoadStatement(c, small); };
        const Result result = Summarize(EachPartition(column, load), {}, false);
        std::vector<ServerLoadPart> parts;
        for (int row = 0; row < PQntuples(result.get()); ++row)
            parts.push_back(LoadPart(result.get(), row, SplitsByPartition(), source_));
        return parts;
    }

    // The transaction the connection is in: none, one for the current walk, or the read
    // snapshot's.
    enum class Txn { None, Walk, Snapshot };

    // The SQL text with its :name parameters written $n, numbered after the statement's own
    // `before` parameters, which come first.
    std::string NumberedQuery(std::size_t before) const
    {
        return BindableSql(sql_, SqlDialect::Postgres, params_, source_, [before](std::size_t i) {
                   return "$" + std::to_string(before + i + 1);
               }).sql;
    }

    // What the summaries' statements read of a column of Columns(), for a statement with
    // `before` parameters of its own ahead of the query's.
    ColumnSql SqlOf(int column, std::size_t before = 0) const
    {
        ColumnSql c;
        // The line breaks keep a trailing "-- comment" of the caller's SQL from swallowing
        // the closing parenthesis.
        const std::string query = before == 0 ? query_ : NumberedQuery(before);
        c.relation = table_.empty() ? "(\n" + query + "\n) AS zel_rows" : table_ + " AS zel_rows";
        c.field = "zel_rows." + QuoteIdentifier(columns_.at(column).name);
        // Each value as ReadDouble reads it from the text the server sends: float4 and money
        // go through that text too, as float4's widening to float8 would keep binary digits
        // the shortest text leaves out, and money has no cast to float8. Integers, numeric
        // and money are summed exactly as they are; floats have no exact cast to numeric
        // (float8's rounds to 15 digits) and are summed by their parts (LoadStatement).
        if (!HoldsNumbers(column))
            return c; // only its nulls and its text are read
        switch (types_.at(column)) {
        case kFloat8Oid: c.value = c.field; break;
        case kFloat4Oid: c.value = c.field + "::text::float8"; break;
        case kMoneyOid:
            c.value = c.field + "::numeric::float8";
            c.decimal = c.field + "::numeric";
            break;
        default:
            c.value = c.field + "::float8";
            c.decimal = c.field;
            break;
        }
        return c;
    }

    ColumnSql NumberSqlOf(int column, std::size_t before = 0) const
    {
        if (!HoldsNumbers(column))
            throw EDatabaseError("Cannot read " + source_ + ": column '" + columns_[column].name
                                 + "' holds no numbers");
        return SqlOf(column, before);
    }

    // Runs one statement of a summary: in the read snapshot while one is held, otherwise in a
    // read-only transaction of its own. `inScanOrder` has the server read the rows in the
    // order a walk reads them (one reader, from the first page), otherwise as its planner
    // likes (with parallel workers where they pay).
    Result Summarize(const std::string& sql, const std::vector<std::string>& own,
                     bool inScanOrder)
    {
        PgParams params = TextParams(own);
        if (table_.empty())
            params.Append(bound_);
        CheckUsable("Cannot read ");
        if (snapshot_) {
            EnsureSnapshot();
        } else {
            StartTransaction();
            txn_ = Txn::Walk;
        }
        // Parallel workers each read a part of the table, and a Gather hands on their rows
        // as they come; a single reader hands them on in the order a cursor reads them. A
        // synchronized scan of a large table starts where the last scan that stopped early
        // (a LIMIT) left off, not at its first page. SET LOCAL would last to the end of the
        // transaction, so the settings are reset after the statement.
        if (inScanOrder)
            Execute("SET LOCAL max_parallel_workers_per_gather = 0; "
                    "SET LOCAL synchronize_seqscans = off; " + std::string(kPartitionsInTurn),
                    PGRES_COMMAND_OK, "Cannot read ");
        TellSummaryLog(sql, params.values);
        Result result = Run(sql, params, false, PGRES_TUPLES_OK, "Cannot read ");
        if (inScanOrder)
            Execute("RESET max_parallel_workers_per_gather; RESET synchronize_seqscans; "
                    + std::string(kPartitionsInAnyTurn),
                    PGRES_COMMAND_OK, "Cannot read ");
        return result;
    }

    // --- Partitioned tables

    // Reads the table's partition tree from the catalogue: partitions_ its leaf partitions
    // when it is partitioned. True when opening must not read a row: a partitioned table
    // (whose walks read its partitions in turn, by their columns' names) or one whose rows
    // live on a foreign server, where even a cursor's first row starts a scan there.
    bool FindPartitions()
    {
        const Result tree =
            Run(kPartitionTree, TextParams({table_}), false, PGRES_TUPLES_OK, "Cannot open ");
        bool partitioned = false, foreign = false;
        for (int row = 0; row < PQntuples(tree.get()); ++row) {
            const auto text = [&](int column) {
                return std::string(PQgetvalue(tree.get(), row, column));
            };
            partitioned = partitioned || (text(2) == "0" && text(3) == "p");
            foreign = foreign || text(3) == "f";
            if (text(1) == "t")
                partitions_.push_back({text(0), text(4)});
        }
        if (!partitioned)
            partitions_.clear();
        return partitioned || foreign;
    }

    // The columns from a statement whose condition the planner finds false before it plans
    // any scan.
    void ReadColumnsWithoutRows()
    {
        batch_ = Execute(sql_ + "\nWHERE false", PGRES_TUPLES_OK, "Cannot open ");
        ReadColumns();
        batch_.reset();
    }

    // Statements per partition pay where a partition is a foreign table, whose server then
    // aggregates its own rows; a parent of local partitions the server aggregates in parallel
    // itself, faster than branch by branch.
    bool SplitsByPartition() const
    {
        return PgPartitionStatements()
               && std::any_of(partitions_.begin(), partitions_.end(),
                              [](const Partition& p) { return !p.server.empty(); });
    }

    // The statement `write` makes of `c`: while the summaries are split by partition, written
    // once per leaf partition and combined with UNION ALL, each branch's rows led by the
    // partition's place in partitions_.
    template <class Write>
    std::string EachPartition(ColumnSql c, const Write& write) const
    {
        if (!SplitsByPartition())
            return write(c, false);
        std::vector<std::string> branches;
        for (std::size_t i = 0; i < partitions_.size(); ++i) {
            c.relation = partitions_[i].name + " AS zel_rows";
            // A foreign partition's branch in the form its server is sent whole: the wrapper
            // ships an aggregate over a plain scan, not over a UNION ALL.
            const std::string branch = write(c, !partitions_[i].server.empty()); // SELECT ...
            branches.push_back("(SELECT " + std::to_string(i) + ", "
                               + branch.substr(std::strlen("SELECT ")) + ")");
        }
        return UnionAll(branches);
    }

    // The rows of the leaf partitions one after another, in catalogue order, each in its own
    // scan order: every column, or `column` alone.
    std::string PartitionsSelect(int column) const
    {
        std::string list;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (column < 0 || static_cast<int>(i) == column)
                list += (list.empty() ? "" : ", ") + QuoteIdentifier(columns_[i].name);
        }
        std::vector<std::string> branches;
        for (const Partition& partition : partitions_)
            branches.push_back("SELECT " + list + " FROM " + partition.name);
        return UnionAll(branches);
    }

    // `c` reading the records in the order a walk reads them.
    ColumnSql InWalkOrder(ColumnSql c) const
    {
        if (!partitions_.empty())
            c.relation = "(\n" + PartitionsSelect(-1) + "\n) AS zel_rows";
        return c;
    }

    // The count of a partitioned table's records as the sum of its partitions' counts, each of
    // which a foreign table's server takes on its own.
    std::string CountSql() const
    {
        if (partitions_.empty())
            return CountStatement(query_);
        std::vector<std::string> counts;
        for (const Partition& partition : partitions_)
            counts.push_back("(SELECT count(*) AS n FROM " + partition.name + ")");
        return "SELECT coalesce(sum(n), 0) FROM (" + UnionAll(counts) + ") AS zel_counts";
    }

    // A statement failed the way a foreign server's failure does: each foreign partition is
    // tried in turn, and the first that cannot be read is named with its server in the
    // message. The server's primary text alone is kept: postgres_fdw's details echo the
    // foreign server's connection. Returns when every partition reads (the failure was
    // another).
    void NameFailedPartition(const PGresult* result, const char* what)
    {
        if (probing_ || partitions_.empty() || !Usable())
            return;
        const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        const std::string message = OneLine(primary);
        probing_ = true;
        const TAtScopeExit done([this] { probing_ = false; });
        // The failure aborted the transaction: its snapshot and cursor are gone.
        Execute("ROLLBACK", PGRES_COMMAND_OK, what);
        declared_ = false;
        fresh_ = false;
        for (const Partition& partition : partitions_) {
            if (partition.server.empty())
                continue;
            try {
                Execute("SELECT 1 FROM " + partition.name + " LIMIT 1", PGRES_TUPLES_OK, what);
            } catch (const EDatabaseError&) {
                throw EDatabaseError(Scrubbed(what + source_ + ": partition " + partition.name
                                                  + " on foreign server " + partition.server
                                                  + " failed: " + message,
                                              secrets_));
            }
        }
    }

    void Connect(const ConnectionSpec& connection)
    {
        // Settings that come before the user's are defaults they may override: a server that
        // is unreachable fails within seconds, and a server that went away without closing
        // the connection is noticed within 30 s: by keepalives while waiting for an answer
        // (10 s idle, then 3 probes 3 s apart: 19 s), and by tcp_user_timeout while a request
        // stays unacknowledged. No statement_timeout: a pass may be long.
        std::vector<const char*> keywords = {"connect_timeout", "keepalives", "keepalives_idle",
                                             "keepalives_interval", "keepalives_count",
                                             "tcp_user_timeout", "fallback_application_name"};
        // A wait limit shorter than the connect timeout bounds the connecting too (libpq
        // takes at least 2 s).
        const auto limit = std::chrono::ceil<std::chrono::seconds>(waitLimit_).count();
        const std::string connectTimeout =
            std::to_string(waitLimit_.count() > 0 && limit < 10 ? std::max<long long>(limit, 2)
                                                                  : 10);
        std::vector<const char*> values = {connectTimeout.c_str(), "1", "10", "3", "3", "30000",
                                           "zelstats"};
        for (const auto& [keyword, value] : connection.options) {
            keywords.push_back(keyword.c_str());
            values.push_back(value.c_str());
        }
        // The readers here expect UTF-8, whatever the user's options say.
        keywords.push_back("client_encoding");
        values.push_back("UTF8");
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        // The options are already parsed: expand_dbname 0 keeps a database name that looks
        // like a connection string from being parsed once more.
        conn_.reset(PQconnectdbParams(keywords.data(), values.data(), 0));
        if (conn_ == nullptr || PQstatus(conn_.get()) != CONNECTION_OK)
            Fail(nullptr, "Cannot open ");
        canceller_ = std::make_unique<PgCanceller>(conn_.get());
        registration_ = std::make_unique<CancelRegistration>(*canceller_);
        // Notices ("there is no transaction in progress") are no business of the application.
        PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
        // Read-only for the whole session, whatever the URI's options say; money and dates
        // in the formats the readers here expect; floats written exactly; and cursors planned
        // for reading every row, which every pass does.
        Execute("SET default_transaction_read_only = on; SET lc_monetary = 'C'; "
                "SET DateStyle = 'ISO, YMD'; SET extra_float_digits = 3; "
                "SET cursor_tuple_fraction = 1.0",
                PGRES_COMMAND_OK, "Cannot open ");
    }

    // The types of the text and null values, which the server infers from where they stand
    // (a date column compared with '2024-05-01'), decided before the cursor is declared:
    // DECLARE ... CURSOR analyses its query twice, and a parameter left unknown then fails as
    // "does not match that when preparing the plan". Where nothing decides a type (SELECT
    // :v), the value is text.
    void InferParamTypes()
    {
        if (std::find(bound_.types.begin(), bound_.types.end(), Oid{0}) == bound_.types.end())
            return;
        std::string types;
        for (const Oid type : bound_.types) {
            const char* name = type == kInt8Oid     ? "int8"
                               : type == kFloat8Oid ? "float8"
                               : type == kByteaOid  ? "bytea"
                                                    : "unknown";
            types += (types.empty() ? "" : ", ") + std::string(name);
        }
        std::vector<Oid> inferred;
        try {
            const Result result =
                Execute("PREPARE zel_types (" + types + ") AS\n" + query_
                            + "\n; SELECT unnest(parameter_types::oid[]) FROM "
                              "pg_prepared_statements WHERE name = 'zel_types'",
                        PGRES_TUPLES_OK, "Cannot open ");
            for (int row = 0; row < PQntuples(result.get()); ++row)
                inferred.push_back(Cell<Oid>(result.get(), row, 0, source_));
        } catch (const EDatabaseError&) {
            // No context decides a type, or the text fails: DECLARE says how, if it does.
        }
        Execute("DEALLOCATE ALL", PGRES_COMMAND_OK, "Cannot open ");
        for (std::size_t i = 0; i < bound_.types.size(); ++i)
            if (bound_.types[i] == 0)
                bound_.types[i] = i < inferred.size() ? inferred[i] : kTextOid;
    }

    // Ends whatever transaction went before and starts one. Repeatable read, so that the
    // walks and counts in it read one snapshot, taken by its first statement.
    void StartTransaction()
    {
        const char* begin = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
        if (PQtransactionStatus(conn_.get()) == PQTRANS_IDLE)
            Execute(begin, PGRES_COMMAND_OK, "Cannot read ");
        else
            Execute(std::string("ROLLBACK; ") + begin, PGRES_COMMAND_OK, "Cannot read ");
        EndedTransaction();
    }

    void EndedTransaction()
    {
        txn_ = Txn::None;
        declared_ = false;
        fresh_ = false;
    }

    // The read snapshot's transaction, started if it is not yet. A failed statement aborts a
    // transaction, and the snapshot ends with it: the walks of this summary can no longer
    // read the same rows, so they fail rather than read others.
    void EnsureSnapshot()
    {
        if (txn_ == Txn::Snapshot) {
            if (PQtransactionStatus(conn_.get()) != PQTRANS_INTRANS)
                throw EDatabaseError("Cannot read " + source_
                                     + ": an earlier failure ended the read snapshot of this "
                                       "summary; run the summary again");
            return;
        }
        StartTransaction();
        txn_ = Txn::Snapshot;
    }

    // The cursor over the SQL text, or over one column of the table.
    void Declare(int column)
    {
        batch_.reset();
        rows_ = 0;
        row_ = -1;
        requested_ = 0;
        atEnd_ = false;
        fresh_ = false;
        const std::string select =
            !partitions_.empty() ? PartitionsSelect(column)
            : column < 0         ? query_
                         : "SELECT " + QuoteIdentifier(columns_[column].name) + " FROM " + table_;
        const std::string declare =
            std::string("DECLARE ") + kCursorName + " NO SCROLL CURSOR FOR\n" + select + "\n";
        // A partitioned table's walk reads its partitions in turn: the settings that make it so
        // go before the declaration, in one round trip (a table has no parameters).
        if (partitions_.empty())
            Run(declare, column < 0 ? bound_ : PgParams{}, false, PGRES_COMMAND_OK, "Cannot open ");
        else
            Execute(std::string(kPartitionsInTurn) + "; " + declare + "; " + kPartitionsInAnyTurn,
                    PGRES_COMMAND_OK, "Cannot open ");
        declared_ = true;
        selected_ = column;
        binary_ = column >= 0 && ReadsInBinary(types_[column]);
    }

    void FetchBatch(int rows)
    {
        if (!declared_)
            throw EDatabaseError("Cannot read " + source_
                                 + ": the walk was ended by the end of its read snapshot or "
                                   "by an earlier failure; start it again");
        // The last batch goes before the next arrives: one batch in memory at a time.
        batch_.reset();
        rows_ = 0;
        const std::string fetch = "FETCH " + std::to_string(rows) + " FROM " + kCursorName;
        batch_ = Run(fetch, {}, binary_, PGRES_TUPLES_OK, "Cannot read ");
        requested_ = rows;
        rows_ = PQntuples(batch_.get());
        row_ = -1;
    }

    // The size of the next batch: what fits kBatchBytes at the width of the widest row of the
    // last batch, at most kBatchGrowth times the last request.
    int NextBatchRows() const
    {
        std::int64_t widest = 0;
        const int columns = PQnfields(batch_.get());
        for (int r = 0; r < rows_; ++r) {
            std::int64_t bytes = kRowOverhead;
            for (int c = 0; c < columns; ++c)
                bytes += PQgetlength(batch_.get(), r, c) + kValueOverhead;
            widest = std::max(widest, bytes);
        }
        const std::int64_t fit = kBatchBytes / std::max<std::int64_t>(widest, 1);
        const std::int64_t most =
            std::min<std::int64_t>(kBatchRows, std::int64_t{requested_} * kBatchGrowth);
        return static_cast<int>(std::clamp<std::int64_t>(fit, 1, most));
    }

    // The first batch arrives with the column descriptions.
    void ReadColumns()
    {
        const int count = PQnfields(batch_.get());
        for (int i = 0; i < count; ++i) {
            columns_.push_back({PQfname(batch_.get(), i), KindOfType(PQftype(batch_.get(), i))});
            types_.push_back(PQftype(batch_.get(), i));
        }
    }

    // The result column of a column of Columns(): while the cursor selects one column, that
    // column is the result's only one, and any other reads as absent (libpq answers null for
    // a column out of range).
    int ResultColumn(int column) const
    {
        if (selected_ < 0)
            return column;
        return column == selected_ ? 0 : -1;
    }

    Result Execute(const std::string& statement, ExecStatusType expected, const char* what)
    {
        return Run(statement, {}, false, expected, what);
    }

    // Sends one statement (or several, without parameters) and waits for its results: the
    // first that failed, else the last. Results come as text, or in binary with `binary`.
    Result Run(const std::string& statement, const PgParams& params, bool binary,
               ExecStatusType expected, const char* what)
    {
        CheckUsable(what);
        std::vector<const char*> values;
        std::vector<int> lengths;
        for (std::size_t i = 0; i < params.values.size(); ++i) {
            values.push_back(params.nulls[i] ? nullptr : params.values[i].c_str());
            lengths.push_back(static_cast<int>(params.values[i].size()));
        }
        const int sent =
            params.Empty() && !binary
                ? PQsendQuery(conn_.get(), statement.c_str())
                : PQsendQueryParams(conn_.get(), statement.c_str(),
                                    static_cast<int>(values.size()), params.types.data(),
                                    values.data(), lengths.data(), params.formats.data(),
                                    binary ? 1 : 0);
        if (sent == 0)
            Fail(nullptr, what);
        Result last, failed;
        for (;;) {
            AwaitResult(what);
            Result result(PQgetResult(conn_.get()));
            if (result == nullptr)
                break;
            const ExecStatusType status = PQresultStatus(result.get());
            const bool error = status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE;
            (error && failed == nullptr ? failed : last) = std::move(result);
        }
        Result& answer = failed != nullptr ? failed : last;
        if (answer == nullptr || PQresultStatus(answer.get()) != expected)
            Fail(answer.get(), what);
        return std::move(answer);
    }

    // Waits until the connection holds a whole result, or knows there is none. A wait ends
    // early when the connection is cancelled, and fails when the server gives no answer
    // within the wait limit.
    void AwaitResult(const char* what)
    {
        auto lastHeard = std::chrono::steady_clock::now();
        while (PQisBusy(conn_.get()) != 0) {
            if (canceller_->Cancelled()) {
                broken_ = true; // the statement's answer may still come
                ThrowCancelled(what);
            }
            pollfd socket{PQsocket(conn_.get()), POLLIN, 0};
            const int ready = poll(&socket, 1, kPollSliceMs);
            if (ready < 0 && errno != EINTR)
                Fail(nullptr, what);
            if (ready > 0) {
                if (PQconsumeInput(conn_.get()) == 0)
                    Fail(nullptr, what);
                lastHeard = std::chrono::steady_clock::now();
            } else if (waitLimit_.count() > 0
                       && std::chrono::steady_clock::now() - lastHeard >= waitLimit_) {
                TimedOut(what);
            }
        }
    }

    // The server gave no answer within the wait limit (a server process that is alive but
    // frozen answers no keepalive of its own): the statement is cancelled and the connection
    // given up, as its answer may still come.
    [[noreturn]] void TimedOut(const char* what)
    {
        broken_ = true;
        canceller_->SendCancelOnly(std::chrono::steady_clock::now() + kCancelWait);
        const double seconds = std::chrono::duration<double>(waitLimit_).count();
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, seconds).ptr;
        // The source names the server, without its password.
        throw EDatabaseError(what + source_
                             + ": the server gave no answer within the wait limit of "
                             + std::string(text, end) + " s; the statement was cancelled");
    }

    [[noreturn]] void ThrowCancelled(const char* what) const
    {
        throw EDatabaseError(what + source_ + ": the query was cancelled");
    }

    bool Usable() const
    {
        return !broken_ && !canceller_->Cancelled() && PQstatus(conn_.get()) == CONNECTION_OK;
    }

    // A cancelled connection runs no statement any more; one given up after a wait, or
    // lost, fails with what went wrong.
    void CheckUsable(const char* what)
    {
        if (canceller_ != nullptr && canceller_->Cancelled())
            ThrowCancelled(what);
        if (broken_)
            throw EDatabaseError(what + source_
                                 + ": an earlier wait for the server failed; open it again");
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            Fail(nullptr, what);
    }

    [[noreturn]] void Fail(const PGresult* result, const char* what)
    {
        if (result != nullptr && MayBeForeignServers(result))
            NameFailedPartition(result, what);
        ThrowPgError(conn_.get(), result, what + source_, secrets_);
    }

    std::string source_;
    std::vector<std::string> secrets_;
    std::string sql_;
    std::string table_;
    std::chrono::milliseconds waitLimit_;
    std::vector<TQueryParam> params_;
    // The SQL text with its parameters written $1, $2, ... and their values.
    std::string query_;
    PgParams bound_;
    Connection conn_;
    // After conn_, so that the canceller is gone before the connection closes, and the
    // registration before the canceller.
    std::unique_ptr<PgCanceller> canceller_;
    std::unique_ptr<CancelRegistration> registration_;
    // A wait for the server was given up: the connection is mid-statement.
    bool broken_ = false;
    std::vector<ColumnInfo> columns_;
    std::vector<Oid> types_; // the server's type of each column
    Result batch_;
    int requested_ = 0;
    int rows_ = 0;
    int row_ = -1;
    bool atEnd_ = false;
    std::int64_t count_ = -1;

    Txn txn_ = Txn::None;
    bool snapshot_ = false;
    // A cursor is declared in the current transaction.
    bool declared_ = false;
    // The cursor declared at opening, with its first batch, and nothing read from it yet.
    bool fresh_ = false;
    // The column the declared cursor selects alone, or -1 for the whole SQL text.
    int selected_ = -1;
    // The declared cursor's results come in binary (ReadsInBinary of the selected column).
    bool binary_ = false;
    // The column the next walk selects alone, or -1.
    int restrictTo_ = -1;
    // A partitioned table's leaf partitions in catalogue order; empty for any other source.
    std::vector<Partition> partitions_;
    // NameFailedPartition is trying the partitions.
    bool probing_ = false;
    // Opened without a cursor: no row read (FindPartitions).
    bool withoutRows_ = false;
};

// One part of a table name: "quoted" parts keep their text, others fold to lower case as the
// server folds unquoted names, so a table created as Employee is found as Employee.
std::string NamePart(const std::string& table, std::size_t& i)
{
    std::string part;
    if (i < table.size() && table[i] == '"') {
        for (++i; i < table.size(); ++i) {
            if (table[i] == '"') {
                if (i + 1 < table.size() && table[i + 1] == '"')
                    ++i;
                else {
                    ++i;
                    break;
                }
            }
            part += table[i];
        }
        return part;
    }
    for (; i < table.size() && table[i] != '.'; ++i) {
        const char c = table[i];
        part += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return part;
}

} // namespace

namespace {

ConnectionSpec ReadConnection(const std::string& connection, const std::string& source)
{
    ConnectionSpec spec = ParseConnection(connection);
    if (!spec.valid)
        throw EDatabaseError("Cannot open " + source
                             + ": libpq cannot parse it; write it as "
                               "postgresql://user@host:port/database?parameters or as "
                               "key=value pairs");
    return spec;
}

} // namespace

std::unique_ptr<DataCursor> OpenPgCursor(const std::string& connection, const std::string& sql,
                                         const std::string& source,
                                         const CursorOptions& options)
{
    return std::make_unique<PgCursor>(ReadConnection(connection, source), sql, std::string(),
                                      source, options);
}

std::unique_ptr<DataCursor> OpenPgTableCursor(const std::string& connection,
                                              const std::string& table, const std::string& source,
                                              const CursorOptions& options)
{
    const std::string quoted = QuotePgTableName(table);
    return std::make_unique<PgCursor>(ReadConnection(connection, source), "SELECT * FROM " + quoted,
                                      quoted, source, options);
}

namespace {
std::atomic<bool> partitionStatements{true};
} // namespace

void SetPgPartitionStatements(bool perPartition)
{
    partitionStatements.store(perPartition, std::memory_order_relaxed);
}

bool PgPartitionStatements()
{
    return partitionStatements.load(std::memory_order_relaxed);
}

void SetPgSummaryLog(PgStatementLog log)
{
    summaryLog.Replace(std::move(log));
}

std::string PgDisplayName(const std::string& connection)
{
    return ParseConnection(connection).display;
}

std::string PgPassStatement(const std::string& relation, const std::string& column,
                            std::size_t bounds, double scaleBy)
{
    ColumnSql c;
    c.relation = relation;
    c.field = "zel_rows." + QuoteIdentifier(column);
    c.value = c.field + "::float8";
    ServerPassRequest request;
    request.bounds.resize(bounds);
    request.scaleBy = scaleBy;
    return PassStatement(c, request);
}

std::string QuotePgTableName(const std::string& table)
{
    std::string quoted;
    std::size_t i = 0;
    do {
        if (!quoted.empty()) {
            ++i; // the '.' between the parts
            quoted += '.';
        }
        quoted += QuoteIdentifier(NamePart(table, i));
        if (i < table.size() && table[i] != '.')
            throw EDatabaseError("The table name " + table
                                 + " is not valid: a quoted part must end at a '.' or at the end");
    } while (i < table.size());
    return quoted;
}

} // namespace zel

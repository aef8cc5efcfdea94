// zelsample: writes the sample database that the demonstration program and the tests open.
//
//   zelsample OUTPUT.db
//
// The contents come from the package's own random deviates with fixed seeds, so every run
// writes the same records. Table EMPLOYEE holds about 2,000 staff records with a field of
// every kind the statistics components meet (integer, small integer, word, float, currency,
// string, date, Boolean); table MEASUREMENTS holds 12,500 readings, more than the 10,000
// values a component stores, so the limits of the median and the input-order plot show.
//
// The database is written under a temporary name and renamed into place at the end, so a
// failed run never leaves a half-written file behind under the real name.
#include "zelstats/tools/ZelTools.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

constexpr int EmployeeCount = 2000;
constexpr int MeasurementCount = 12500;
constexpr std::int32_t EmployeeSeed = -2024;
constexpr std::int32_t MeasurementSeed = -1997;

// A uniform deviate in [0, 1). The generator returns values from 0 up to a hair above 10.
double Uniform(std::int32_t& seed)
{
    return std::min(zel::ran1(seed) / 10.0, 0.9999999999);
}

// An index below n.
int Pick(std::int32_t& seed, int n)
{
    return std::min(static_cast<int>(Uniform(seed) * n), n - 1);
}

class Database {
public:
    explicit Database(const std::string& path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error("cannot create " + path + ": " + message);
        }
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void Execute(const char* sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw std::runtime_error(message + " in: " + sql);
        }
    }
    void Check(int rc, const char* what)
    {
        if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
            throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db_));
    }
    sqlite3* Handle() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// A prepared INSERT, finalised by its destructor.
class Insert {
public:
    Insert(Database& db, const char* sql) : db_(db)
    {
        db_.Check(sqlite3_prepare_v2(db_.Handle(), sql, -1, &stmt_, nullptr), sql);
    }
    ~Insert() { sqlite3_finalize(stmt_); }
    Insert(const Insert&) = delete;
    Insert& operator=(const Insert&) = delete;

    void Int(int column, std::int64_t value) { sqlite3_bind_int64(stmt_, column, value); }
    void Real(int column, double value) { sqlite3_bind_double(stmt_, column, value); }
    void Null(int column) { sqlite3_bind_null(stmt_, column); }
    void Text(int column, const std::string& value)
    {
        sqlite3_bind_text(stmt_, column, value.c_str(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
    }
    void Run()
    {
        db_.Check(sqlite3_step(stmt_), "insert");
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

constexpr std::array FirstNames = {
    "Anna", "Bruno", "Clara", "Daniel", "Elena", "Felix", "Greta", "Hugo", "Ines", "Jonas",
    "Karin", "Lukas", "Marta", "Niklas", "Olga", "Paul", "Rosa", "Simon", "Tanja", "Viktor",
    "Wanda", "Yusuf", "Zoe", "Amelie", "Benedikt", "Carla", "Dominik", "Emil", "Frieda",
    "Gustav", "Helena", "Ivo", "Johanna", "Konstantin", "Leonie", "Maximilian", "Nora",
    "Oskar", "Pia", "Quirin"};

constexpr std::array LastNames = {
    "Abendroth", "Brandstetter", "Castellanos", "Dobrowolski", "Eichhorn", "Fontaine",
    "Gallagher", "Hoffmann", "Iversen", "Jankowski", "Kowalczyk", "Lindqvist", "Moreau",
    "Nakamura", "Oyelaran", "Petrovic", "Quintero", "Rasmussen", "Schwarzenberger", "Tanaka",
    "Underwood", "Vasquez", "Wojciechowski", "Xanthopoulos", "Yilmaz", "Zimmermann", "Achterberg",
    "Bergstrom", "Cavanagh", "Delacroix", "Esposito", "Fitzgerald", "Grunewald", "Halvorsen"};

constexpr std::array<int, 12> Departments = {100, 110, 120, 130, 200, 210, 300, 310, 400,
                                             500, 510, 900};

std::string IsoDate(std::chrono::sys_days day)
{
    const std::chrono::year_month_day ymd{day};
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buffer;
}

void WriteEmployees(Database& db)
{
    db.Execute("CREATE TABLE EMPLOYEE ("
               "EMP_NO INTEGER NOT NULL PRIMARY KEY, "
               "FIRST_NAME VARCHAR(15) NOT NULL, "
               "LAST_NAME VARCHAR(20) NOT NULL, "
               "DEPT_NO SMALLINT, "
               "JOB_GRADE SMALLINT, "
               "HIRE_DATE DATE, "
               "SALARY MONEY, "
               "BONUS_RATE DOUBLE PRECISION, "
               "FULL_TIME BOOLEAN, "
               "HOURS WORD)");
    Insert insert(db, "INSERT INTO EMPLOYEE VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");

    std::int32_t seed = EmployeeSeed;
    zel::initgliset(0);
    zel::ran1(seed); // initialises; seed is now 1
    const std::chrono::sys_days firstHire = std::chrono::year{1988} / 1 / 4;
    const int hireSpan = static_cast<int>(
        (std::chrono::sys_days{std::chrono::year{2023} / 12 / 15} - firstHire).count());

    for (int k = 0; k < EmployeeCount; ++k) {
        const int grade = 1 + std::min(5, static_cast<int>(std::fabs(zel::gasdev(seed)) * 1.6));
        const bool fullTime = Uniform(seed) < 0.86;
        // Salaries: lognormal around 55,000, higher grades earn more, a long right tail.
        const double z = zel::gasdev(seed);
        double salary = 46000.0 * std::exp(0.11 * (grade - 1) * 2.0 + 0.28 * z);
        if (!fullTime)
            salary *= 0.45 + 0.3 * Uniform(seed);
        salary = std::round(salary * 100.0) / 100.0;
        // Bonus rate: exponential with a floor, rarely above 25 %.
        const double bonus = std::round((0.01 + 0.035 * zel::expdev(seed)) * 10000.0) / 10000.0;
        const int hours = fullTime ? 38 + Pick(seed, 7) : 10 + 2 * Pick(seed, 10);

        insert.Int(1, 1001 + k);
        insert.Text(2, FirstNames[static_cast<std::size_t>(Pick(seed, static_cast<int>(FirstNames.size())))]);
        insert.Text(3, LastNames[static_cast<std::size_t>(Pick(seed, static_cast<int>(LastNames.size())))]);
        insert.Int(4, Departments[static_cast<std::size_t>(Pick(seed, static_cast<int>(Departments.size())))]);
        insert.Int(5, grade);
        insert.Text(6, IsoDate(firstHire + std::chrono::days{Pick(seed, hireSpan)}));
        if (Uniform(seed) < 0.02)
            insert.Null(7); // salary not yet agreed
        else
            insert.Real(7, salary);
        insert.Real(8, bonus);
        insert.Int(9, fullTime ? 1 : 0);
        insert.Int(10, hours);
        insert.Run();
    }
}

void WriteMeasurements(Database& db)
{
    db.Execute("CREATE TABLE MEASUREMENTS (ID INTEGER NOT NULL PRIMARY KEY, "
               "READING DOUBLE PRECISION)");
    Insert insert(db, "INSERT INTO MEASUREMENTS VALUES (?, ?)");

    std::int32_t seed = MeasurementSeed;
    zel::initgliset(0);
    zel::ran1(seed);
    for (int k = 1; k <= MeasurementCount; ++k) {
        insert.Int(1, k);
        if (Uniform(seed) < 0.01) {
            insert.Null(2); // a missed reading
        } else {
            // Readings around 20.0 with a slow drift over the run.
            const double reading = 20.0 + 0.00008 * k + 2.5 * zel::gasdev(seed);
            insert.Real(2, std::round(reading * 1000.0) / 1000.0);
        }
        insert.Run();
    }
}

void WriteSample(const std::filesystem::path& target)
{
    const std::filesystem::path temporary =
        target.string() + ".tmp-" + std::to_string(static_cast<long>(getpid()));
    std::filesystem::remove(temporary);
    std::filesystem::remove(target);
    try {
        {
            Database db(temporary.string());
            // A throwaway file until the rename: no journal and no syncing needed.
            db.Execute("PRAGMA journal_mode = OFF");
            db.Execute("PRAGMA synchronous = OFF");
            db.Execute("BEGIN");
            WriteEmployees(db);
            WriteMeasurements(db);
            db.Execute("COMMIT");
        }
        std::filesystem::rename(temporary, target);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: zelsample OUTPUT.db\n");
        return 2;
    }
    try {
        WriteSample(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelsample: %s\n", e.what());
        return 1;
    }
    return 0;
}

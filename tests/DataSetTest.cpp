// The data-access layer on every backend: field kinds, the walk, the record count, and the
// failures that must name what went wrong.
#include "zelstats/data/DataSet.h"
#include "zelstats/data/Driver.h"
#include "tests/TestSupport.h"
#include "zelstats/tools/ZelTools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

using namespace zel;
using namespace zel::test;

namespace {

class DataSetTest : public BackendTest {
protected:
    std::string Db() const { return db_->Name(); }
};

// Collects the walk's values of one field; NaN for NULL.
std::vector<double> Walk(TDataSet& data, const std::string& field)
{
    std::vector<double> values;
    for (data.First(); !data.Eof(); data.Next()) {
        const TField& f = data.FieldByName(field);
        values.push_back(f.IsNull() ? NAN : f.AsFloat());
    }
    return values;
}

void ExpectThrowsContaining(const std::function<void()>& action,
                            const std::vector<std::string>& parts)
{
    try {
        action();
        ADD_FAILURE() << "no EDatabaseError";
    } catch (const EDatabaseError& e) {
        for (const auto& part : parts)
            EXPECT_NE(std::string(e.what()).find(part), std::string::npos)
                << "'" << e.what() << "' lacks '" << part << "'";
    }
}

TEST_P(DataSetTest, FieldKindsFollowDeclaredTypesAndNumericKindsAreRecognised)
{
    db_->Execute("CREATE TABLE K (I INTEGER, S SMALLINT, B BIGINT, F DOUBLE PRECISION, "
                 "N NUMERIC(10,2), V VARCHAR(10), D DATE, T TIMESTAMP, L BOOLEAN)");
    TTable t;
    t.SetDatabaseName(Db());
    t.SetTableName("K");
    t.Open();
    ASSERT_TRUE(t.Active());
    std::vector<std::string> names;
    t.GetFieldNames(names);
    std::vector<std::string> lower;
    for (auto n : names) {
        std::transform(n.begin(), n.end(), n.begin(), ::tolower);
        lower.push_back(n);
    }
    EXPECT_EQ(lower, (std::vector<std::string>{"i", "s", "b", "f", "n", "v", "d", "t", "l"}));
    const auto& f = t.Fields();
    EXPECT_NE(dynamic_cast<TIntegerField*>(f[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<TSmallintField*>(f[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<TLargeintField*>(f[2].get()), nullptr);
    EXPECT_NE(dynamic_cast<TFloatField*>(f[3].get()), nullptr);
    EXPECT_NE(dynamic_cast<TBCDField*>(f[4].get()), nullptr);
    EXPECT_NE(dynamic_cast<TStringField*>(f[5].get()), nullptr);
    EXPECT_NE(dynamic_cast<TDateField*>(f[6].get()), nullptr);
    EXPECT_NE(dynamic_cast<TDateTimeField*>(f[7].get()), nullptr);
    EXPECT_NE(dynamic_cast<TBooleanField*>(f[8].get()), nullptr);
    std::vector<bool> numeric;
    for (const auto& field : f)
        numeric.push_back(NumericField(field.get()));
    EXPECT_EQ(numeric, (std::vector<bool>{true, true, true, true, true, false, false, false, false}));
}

TEST_P(DataSetTest, WalkVisitsEveryRecordAndFirstRestarts)
{
    CreateValueTable(*db_, "V", "X", {3, NAN, 1, 2});
    TQuery q;
    q.SetDatabaseName(Db());
    q.SetSQL({"SELECT X FROM V", "ORDER BY ID"});
    q.Open();
    EXPECT_EQ(q.RecordCount(), 4);
    auto first = Walk(q, "X");
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0], 3);
    EXPECT_TRUE(std::isnan(first[1]));
    EXPECT_EQ(first[3], 2);
    EXPECT_TRUE(q.Eof());
    q.Next(); // past the end stays at the end
    EXPECT_TRUE(q.Eof());
    q.First();
    EXPECT_FALSE(q.Eof());
    EXPECT_EQ(q.RecNo(), 1);
    EXPECT_EQ(Walk(q, "X").size(), 4u);
}

TEST_P(DataSetTest, EmptyDataIsAtEndAtOnce)
{
    CreateValueTable(*db_, "E", "X", {});
    TTable t;
    t.SetDatabaseName(Db());
    t.SetTableName("E");
    t.Open();
    EXPECT_TRUE(t.Eof());
    EXPECT_EQ(t.RecordCount(), 0);
}

// An exact name wins; a match without regard to case counts only where it is the only one.
// (The dataset's rule, whatever the backend; SQLite keeps the names' case as written.)
TEST(DataSetFieldNames, ExactMatchWinsAndACaseBlindOneMustBeUnique)
{
    auto db = MakeSqliteDatabase();
    TQuery q;
    q.SetDatabaseName(db->Name());
    q.SetSQL({"SELECT 1 AS Amount, 2 AS amount, 3 AS Total"});
    q.Open();
    EXPECT_EQ(q.FieldByName("amount").AsFloat(), 2);
    EXPECT_EQ(q.FieldByName("Amount").AsFloat(), 1);
    EXPECT_EQ(q.FindField("AMOUNT"), nullptr);
    EXPECT_EQ(q.FieldByName("TOTAL").AsFloat(), 3);
}

TEST_P(DataSetTest, ExpressionColumnOfNumbersIsAFloatField)
{
    CreateValueTable(*db_, "V", "X", {2, 4});
    TQuery q;
    q.SetDatabaseName(Db());
    q.SetSQL({"SELECT X * 1.5 AS Y FROM V ORDER BY ID"});
    q.Open();
    EXPECT_TRUE(NumericField(&q.FieldByName("Y")) || NumericField(&q.FieldByName("y")));
}

TEST_P(DataSetTest, FailuresNameWhatWentWrong)
{
    CreateValueTable(*db_, "V", "X", {1});
    TTable t;
    t.SetDatabaseName(Db());
    t.SetTableName("NO_SUCH_TABLE");
    ExpectThrowsContaining([&] { t.Open(); }, {"NO_SUCH_TABLE"});
    EXPECT_FALSE(t.Active());

    TQuery bad;
    bad.SetDatabaseName(Db());
    bad.SetSQL({"SELEC X FROM V"});
    ExpectThrowsContaining([&] { bad.Open(); }, {"SELEC"});

    TTable ok;
    ok.SetDatabaseName(Db());
    ok.SetTableName("V");
    ExpectThrowsContaining([&] { ok.First(); }, {"closed"});
    ok.Open();
    ExpectThrowsContaining([&] { ok.FieldByName("MISSING"); }, {"MISSING", "V"});
    ExpectThrowsContaining([&] { ok.SetTableName("W"); }, {"open"});
}

TEST_P(DataSetTest, TextInANumericFieldIsNeverReadAsZero)
{
    db_->Execute("CREATE TABLE M (V VARCHAR(10))");
    db_->Execute("INSERT INTO M (V) VALUES ('12.5'), ('abc')");
    TQuery q;
    q.SetDatabaseName(Db());
    q.SetSQL({"SELECT V FROM M"});
    q.Open();
    q.Next();
    ExpectThrowsContaining([&] { q.FieldByName("V").AsFloat(); },
                           {"'" + FieldName("V") + "'", "record 2", "abc"});
}

TEST_P(DataSetTest, ReadFloatsReadsAsTheWalkDoesAndFailsAtTheSameRecord)
{
    db_->Execute("CREATE TABLE R (ID INTEGER, X DOUBLE PRECISION, V VARCHAR(10))");
    db_->Execute("INSERT INTO R (ID, X, V) VALUES (1, 1.5, NULL), (2, NULL, NULL), "
                 "(3, 2.5, 'abc'), (4, NULL, NULL), (5, 4, NULL), (6, 5, NULL)");
    TQuery q;
    q.SetDatabaseName(Db());
    q.SetSQL({"SELECT ID, X, V FROM R ORDER BY ID"});
    q.Open();
    TTable t;
    t.SetDatabaseName(Db());
    t.SetTableName("R");
    t.Open();
    for (TDataSet* data : {static_cast<TDataSet*>(&q), static_cast<TDataSet*>(&t)}) {
        EXPECT_TRUE(data->MoreRecordsThan(5));
        EXPECT_FALSE(data->MoreRecordsThan(6));
    }
    // Batches of two cross the nulls; the walk's end gives the record count.
    std::vector<double> values;
    double batch[2];
    q.First();
    while (const std::size_t n = q.ReadFloats(q.FieldByName(FieldName("X")), batch, 2))
        values.insert(values.end(), batch, batch + n);
    EXPECT_EQ(values, (std::vector<double>{1.5, 2.5, 4, 5}));
    EXPECT_TRUE(q.Eof());
    EXPECT_EQ(q.RecordCount(), 6);
    q.First();
    ExpectThrowsContaining([&] { q.ReadFloats(q.FieldByName(FieldName("V")), batch, 2); },
                           {"'" + FieldName("V") + "'", "record 3", "abc"});

    // A table's walk narrowed to two fields reads them in the order asked.
    const TField* const pair[] = {&t.FieldByName(FieldName("X")), &t.FieldByName(FieldName("ID"))};
    const TDataSet::TFieldWalk narrowed(t, pair);
    t.First();
    double records[12];
    ASSERT_EQ(t.ReadRecords(pair, records, 6), 6u);
    EXPECT_EQ(records[0], 1.5);
    EXPECT_EQ(records[1], 1);
    EXPECT_TRUE(std::isnan(records[2]));
    EXPECT_EQ(records[10], 5);
    EXPECT_EQ(records[11], 6);
}

TEST_P(DataSetTest, NonNumberInAMessageIsOneLineAndCutOnACharacterBoundary)
{
    db_->Execute("CREATE TABLE M (V VARCHAR(400))");
    std::string accents;
    for (int i = 0; i < 200; ++i)
        accents += "\u00e9";
    db_->Execute("INSERT INTO M (V) VALUES ('a\nb\t" + accents + "')");
    TQuery q;
    q.SetDatabaseName(Db());
    q.SetSQL({"SELECT V FROM M"});
    q.Open();
    // 'a', "\n", 'b', "\t" are 6 characters; 93 accents and the ellipsis make 100.
    std::string shown = "a\\nb\\t";
    for (int i = 0; i < 93; ++i)
        shown += "\u00e9";
    ExpectThrowsContaining([&] { q.FieldByName(FieldName("V")).AsFloat(); },
                           {"holds '" + shown + "\u2026' at record 1"});
}

TEST_P(DataSetTest, OneFieldWalkReadsTheSameValuesInTheSameOrder)
{
    db_->Execute("CREATE TABLE T (A INTEGER, B INTEGER)");
    db_->Execute("CREATE INDEX TB ON T (B)");
    db_->Execute("INSERT INTO T (A, B) VALUES (1, 30), (2, 10), (3, NULL), (4, 20)");
    TTable t;
    t.SetDatabaseName(Db());
    t.SetTableName("T");
    t.Open();
    const std::string b = FieldName("B");
    const auto full = Walk(t, b);
    std::vector<double> alone;
    {
        TDataSet::TFieldWalk walk(t, t.FieldByName(b));
        alone = Walk(t, b);
    }
    ASSERT_EQ(alone.size(), 4u);
    EXPECT_EQ(alone[0], full[0]);
    EXPECT_EQ(alone[1], full[1]);
    EXPECT_TRUE(std::isnan(alone[2]));
    EXPECT_EQ(alone[3], full[3]);
    t.First(); // every field again
    EXPECT_NO_THROW(t.FieldByName(FieldName("A")).AsFloat());
    EXPECT_EQ(t.FieldByName(b).AsFloat(), full[0]);
}

TEST_P(DataSetTest, TableNamesAreQuotedNotPasted)
{
    db_->Execute("CREATE TABLE \"odd \"\"name\" (X INTEGER)");
    db_->Execute("INSERT INTO \"odd \"\"name\" (X) VALUES (7)");
    TTable t;
    t.SetDatabaseName(Db());
    t.SetTableName("odd \"name");
    t.Open();
    EXPECT_EQ(t.FieldByName("X").AsFloat(), 7);

    TTable injected;
    injected.SetDatabaseName(Db());
    injected.SetTableName("V; DROP TABLE V");
    EXPECT_THROW(injected.Open(), EDatabaseError);
}

TEST_P(DataSetTest, NothingToOpenLeavesTheDatasetInactive)
{
    TTable t;
    t.SetDatabaseName(Db());
    t.Open();
    EXPECT_FALSE(t.Active());
    TQuery q;
    q.SetDatabaseName(Db());
    q.Open();
    EXPECT_FALSE(q.Active());
}

INSTANTIATE_TEST_SUITE_P(Backends, DataSetTest, testing::ValuesIn(Backends()),
                         [](const auto& info) { return info.param; });

// SQLite-only behaviour: files, locks and the writes a read-only layer refuses.

TEST(SqliteDataSet, MisspeltPathFailsNamingItAndCreatesNothing)
{
    const std::string path = "/tmp/zelstats-no-such-dir/none.db";
    TTable t;
    t.SetDatabaseName(path);
    t.SetTableName("T");
    ExpectThrowsContaining([&] { t.Open(); }, {path});
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SqliteDataSet, StatementsThatWriteOrComeInPairsAreRefused)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "V", "X", {1});
    TQuery q;
    q.SetDatabaseName(db->Name());
    q.SetSQL({"DELETE FROM V"});
    ExpectThrowsContaining([&] { q.Open(); }, {"change data"});
    q.SetSQL({"SELECT 1; DELETE FROM V"});
    ExpectThrowsContaining([&] { q.Open(); }, {"one statement"});
    q.SetSQL({"SELECT X FROM V;"});
    q.Open();
    EXPECT_EQ(q.RecordCount(), 1);
}

TEST(SqliteDataSet, NonFiniteNumbersAreRejected)
{
    auto db = MakeSqliteDatabase();
    db->Execute("CREATE TABLE V (X DOUBLE PRECISION)");
    db->Execute("INSERT INTO V VALUES (9e999)");
    TTable t;
    t.SetDatabaseName(db->Name());
    t.SetTableName("V");
    t.Open();
    ExpectThrowsContaining([&] { t.FieldByName("X").AsFloat(); }, {"'X'", "record 1", "finite"});
}

TEST(SqliteDataSet, LockedDatabaseFailsWithTheDatabasesMessage)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "V", "X", {1, 2});
    db->Execute("PRAGMA locking_mode = EXCLUSIVE");
    db->Execute("BEGIN EXCLUSIVE");
    TTable t;
    t.SetDatabaseName(db->Name());
    t.SetTableName("V");
    ExpectThrowsContaining([&] { t.Open(); }, {"locked"});
    db->Execute("COMMIT");
}

TEST(Components, OwnerFreesWhatItOwns)
{
    auto* owner = new TComponent;
    auto* child = new TTable(owner);
    auto* second = new TQuery(owner);
    delete child; // a child freed first leaves its owner's list
    EXPECT_EQ(owner->Components().size(), 1u);
    EXPECT_EQ(owner->Components().front(), second);
    delete owner; // frees the remaining child; the sanitizers see any double free
}

} // namespace

// Registration of the statistics components and the StatFieldName drop-down.
#include "zelstats/design/Zel32reg.h"
#include "zelstats/design/ZelFieldProperty.h"
#include "zelstats/data/DataSet.h"
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zel {
namespace {

using test::MessageLog;
using test::TestDatabase;

// A component class an application derives from one of the registered kinds.
class TMyStatsTable : public TRivuReviTable {
public:
    using TRivuReviTable::TRivuReviTable;
};

class Zel32regTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearDesignRegistry();
        Register();
        db_ = test::MakeSqliteDatabase();
        // One field of each kind, declared out of name order: float, integer, small integer,
        // word, currency and string.
        db_->Execute("CREATE TABLE MIXED (Zeta DOUBLE PRECISION, alpha INTEGER, Mid SMALLINT, "
                     "Beta WORD, Cost MONEY, Name VARCHAR(20))");
        db_->Execute("INSERT INTO MIXED VALUES (1.5, 2, 3, 4, 5.25, 'x')");
        db_->Execute("CREATE TABLE WORDS (Name VARCHAR(20), Born DATE)");
        db_->Execute("INSERT INTO WORDS VALUES ('x', '2001-02-03')");
    }
    void TearDown() override { ClearDesignRegistry(); }

    std::unique_ptr<TRivuReviTable> Table(const std::string& name)
    {
        auto table = std::make_unique<TRivuReviTable>();
        table->SetDatabaseName(db_->Name());
        table->SetTableName(name);
        return table;
    }

    std::unique_ptr<TRivuReviQuery> Query(const std::string& sql)
    {
        auto query = std::make_unique<TRivuReviQuery>();
        query->SetDatabaseName(db_->Name());
        query->SetSQL({sql});
        return query;
    }

    // The drop-down as the designer shows it for the selection.
    static std::vector<std::string> DropDown(const std::vector<TComponent*>& selection)
    {
        auto editor = CreatePropertyEditor(selection, StatFieldNameProperty());
        if (editor == nullptr)
            throw std::logic_error("no editor for StatFieldName");
        return ValueList(*editor);
    }

    std::unique_ptr<TestDatabase> db_;
};

using Names = std::vector<std::string>;

TEST_F(Zel32regTest, RegisterPutsBothKindsOnTheStatisticsPage)
{
    ASSERT_EQ(PalettePages(), Names{"Vay Statistics"});
    auto classes = PaletteClasses("Vay Statistics");
    ASSERT_EQ(classes.size(), 2u);
    EXPECT_EQ(classes[0].Name(), "TRivuReviTable");
    EXPECT_EQ(classes[1].Name(), "TRivuReviQuery");

    // The palette creates components of the registered kinds, owned or not.
    auto free = classes[0].Create();
    EXPECT_NE(dynamic_cast<TRivuReviTable*>(free.get()), nullptr);
    TComponent form;
    TComponent& owned = classes[1].Create(form);
    EXPECT_NE(dynamic_cast<TRivuReviQuery*>(&owned), nullptr);
    EXPECT_EQ(owned.Owner(), &form);
}

TEST_F(Zel32regTest, RegisteringAgainChangesNothing)
{
    Register();
    EXPECT_EQ(PaletteClasses("Vay Statistics").size(), 2u);
    auto table = Table("MIXED");
    EXPECT_EQ(DropDown({table.get()}).size(), 5u);
}

TEST_F(Zel32regTest, EditorServesBothKindsAndTheirDescendantsOnly)
{
    TRivuReviTable table;
    TRivuReviQuery query;
    TMyStatsTable derived;
    TTable plain;
    for (const TComponent* c : std::vector<const TComponent*>{&table, &query, &derived}) {
        const TPropertyEditorClass* editor =
            FindPropertyEditor(typeid(std::string), *c, "StatFieldName");
        ASSERT_NE(editor, nullptr);
        EXPECT_EQ(editor->Name(), "TVarFieldProperty");
    }
    EXPECT_EQ(FindPropertyEditor(typeid(std::string), plain, "StatFieldName"), nullptr);
    EXPECT_EQ(FindPropertyEditor(typeid(std::string), table, "TableName"), nullptr);
    EXPECT_EQ(FindPropertyEditor(typeid(double), table, "StatFieldName"), nullptr);
}

TEST_F(Zel32regTest, AttributesAreValueListMultiSelectSortList)
{
    TRivuReviTable table;
    TVarFieldProperty editor({&table}, StatFieldNameProperty());
    EXPECT_EQ(editor.GetAttributes().Bits(), 41u);
    EXPECT_TRUE(editor.GetAttributes().Contains(paValueList));
    EXPECT_TRUE(editor.GetAttributes().Contains(paMultiSelect));
    EXPECT_TRUE(editor.GetAttributes().Contains(paSortList));
}

TEST_F(Zel32regTest, OffersNumericFieldsInFieldOrderAndTheDesignerSortsThem)
{
    auto table = Table("MIXED");
    TVarFieldProperty editor({table.get()}, StatFieldNameProperty());
    Names offered;
    editor.GetValues([&offered](const std::string& name) { offered.push_back(name); });
    EXPECT_EQ(offered, (Names{"Zeta", "alpha", "Mid", "Beta", "Cost"}));

    EXPECT_EQ(DropDown({table.get()}), (Names{"alpha", "Beta", "Cost", "Mid", "Zeta"}));
}

TEST_F(Zel32regTest, QueryKindOffersTheFieldsOfItsResult)
{
    auto query = Query("SELECT Name, Cost, Mid FROM MIXED");
    EXPECT_EQ(DropDown({query.get()}), (Names{"Cost", "Mid"}));
}

TEST_F(Zel32regTest, ChosenValueIsWrittenToEverySelectedComponent)
{
    auto first = Table("MIXED");
    auto second = Query("SELECT * FROM MIXED");
    auto editor = CreatePropertyEditor({first.get(), second.get()}, StatFieldNameProperty());
    ASSERT_NE(editor, nullptr);
    editor->SetValue("Cost");
    EXPECT_EQ(first->StatFieldName(), "Cost");
    EXPECT_EQ(second->StatFieldName(), "Cost");
    EXPECT_TRUE(editor->AllEqual());
    first->SetStatFieldName("Mid");
    EXPECT_FALSE(editor->AllEqual());
    EXPECT_EQ(editor->GetValue(), "Mid");
}

TEST_F(Zel32regTest, TwoSelectedComponentsListTheFieldsOfTheFirst)
{
    auto first = Query("SELECT Zeta, Name FROM MIXED");
    auto second = Table("MIXED");
    EXPECT_EQ(DropDown({first.get(), second.get()}), Names{"Zeta"});
    EXPECT_EQ(DropDown({second.get(), first.get()}),
              (Names{"alpha", "Beta", "Cost", "Mid", "Zeta"}));
}

// The data source's active state after a listing equals its state before, for both kinds.
struct ActiveCase {
    const char* name;
    bool query;
    bool activeBefore;
};

class Zel32regActiveTest : public Zel32regTest,
                           public ::testing::WithParamInterface<ActiveCase> {};

TEST_P(Zel32regActiveTest, ListingRestoresTheActiveState)
{
    const ActiveCase c = GetParam();
    std::unique_ptr<TDataSet> source;
    if (c.query)
        source = Query("SELECT * FROM MIXED");
    else
        source = Table("MIXED");
    if (c.activeBefore)
        source->Open();
    ASSERT_EQ(source->Active(), c.activeBefore);

    MessageLog log;
    EXPECT_EQ(DropDown({source.get()}).size(), 5u);
    EXPECT_EQ(source->Active(), c.activeBefore);
    EXPECT_TRUE(log.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, Zel32regActiveTest,
                         ::testing::Values(ActiveCase{"InactiveTable", false, false},
                                           ActiveCase{"ActiveTable", false, true},
                                           ActiveCase{"InactiveQuery", true, false},
                                           ActiveCase{"ActiveQuery", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Zel32regTest, DataSourceThatCannotBeOpenedIsReportedAndOffersNothing)
{
    auto noTable = Table("");
    auto noSql = Query("   ");
    for (TDataSet* source : std::vector<TDataSet*>{noTable.get(), noSql.get()}) {
        MessageLog log;
        EXPECT_TRUE(DropDown({source}).empty());
        ASSERT_EQ(log.Messages().size(), 1u);
        EXPECT_EQ(log.Messages()[0].text, "Please open the table first.");
        EXPECT_EQ(log.Messages()[0].type, TMsgDlgType::mtInformation);
        EXPECT_EQ(log.Messages()[0].buttons, TMsgDlgButtons{mbOK});
        EXPECT_FALSE(source->Active());
    }
}

TEST_F(Zel32regTest, NoNumericFieldsGivesAnEmptyListWithoutMessage)
{
    auto table = Table("WORDS");
    MessageLog log;
    EXPECT_TRUE(DropDown({table.get()}).empty());
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_FALSE(table->Active());
}

TEST_F(Zel32regTest, RejectedDataSourceReachesTheCallerAndStaysInactive)
{
    auto table = Table("NO_SUCH_TABLE");
    auto query = Query("SELECT nonsense FROM");
    for (TDataSet* source : std::vector<TDataSet*>{table.get(), query.get()}) {
        MessageLog log;
        EXPECT_THROW(DropDown({source}), EDatabaseError);
        EXPECT_FALSE(source->Active());
        EXPECT_TRUE(log.Messages().empty());
    }
}

TEST_F(Zel32regTest, FailureInTheMiddleOfTheListingClosesTheOpenedDataSource)
{
    auto table = Table("MIXED");
    TVarFieldProperty editor({table.get()}, StatFieldNameProperty());
    EXPECT_THROW(editor.GetValues([](const std::string&) { throw std::runtime_error("full"); }),
                 std::runtime_error);
    EXPECT_FALSE(table->Active());
}

TEST_F(Zel32regTest, SelectionOfSeveralNeedsAMultiSelectEditorForEachComponent)
{
    auto table = Table("MIXED");
    TTable plain;
    EXPECT_EQ(CreatePropertyEditor({}, StatFieldNameProperty()), nullptr);
    EXPECT_EQ(CreatePropertyEditor({table.get(), &plain}, StatFieldNameProperty()), nullptr);

    // An editor without paMultiSelect serves one component only.
    class TSingleOnly : public TStringProperty {
    public:
        using TStringProperty::TStringProperty;
        TPropertyAttributes GetAttributes() const override { return {paValueList}; }
    };
    RegisterPropertyEditor(typeid(std::string), RivuReviTableClass(), "StatFieldName",
                           TPropertyEditorClass::Of<TSingleOnly>("TSingleOnly"));
    auto other = Table("MIXED");
    EXPECT_NE(CreatePropertyEditor({table.get()}, StatFieldNameProperty()), nullptr);
    EXPECT_EQ(CreatePropertyEditor({table.get(), other.get()}, StatFieldNameProperty()), nullptr);
}

TEST_F(Zel32regTest, GetComponentOutsideTheSelectionIsARangeError)
{
    TRivuReviTable table;
    TVarFieldProperty editor({&table}, StatFieldNameProperty());
    EXPECT_EQ(editor.GetComponent(0), &table);
    EXPECT_THROW(editor.GetComponent(1), std::out_of_range);
    EXPECT_THROW(editor.GetComponent(-1), std::out_of_range);
}

} // namespace
} // namespace zel

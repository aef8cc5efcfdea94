// The demo run unattended: every window it opens is saved as a picture that is not blank.
#include "app/ZelDemo.h"
#include "tests/TestSupport.h"

#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace zel {
namespace {

// A picture that shows something: several colours, none covering nearly all of it.
::testing::AssertionResult ShowsSomething(const QString& path)
{
    QImage image(path);
    if (image.isNull())
        return ::testing::AssertionFailure() << path.toStdString() << " is missing or unreadable";
    if (image.width() < 100 || image.height() < 100)
        return ::testing::AssertionFailure() << path.toStdString() << " is only "
                                             << image.width() << "x" << image.height();
    std::map<QRgb, long> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++colours[image.pixel(x, y)];
    long most = 0;
    for (const auto& [colour, count] : colours)
        most = std::max(most, count);
    const double share = double(most) / (double(image.width()) * image.height());
    if (colours.size() < 8 || share > 0.97)
        return ::testing::AssertionFailure()
               << path.toStdString() << " is blank: " << colours.size() << " colours, "
               << int(share * 100) << "% in one";
    return ::testing::AssertionSuccess();
}

class ZelDemoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        db_ = test::MakeSqliteDatabase();
        db_->Execute("CREATE TABLE EMPLOYEE (EMP_NO INTEGER, LAST_NAME VARCHAR(20), "
                     "SALARY DOUBLE PRECISION, DEPT_NO SMALLINT)");
        std::string insert = "INSERT INTO EMPLOYEE VALUES ";
        for (int i = 1; i <= 120; ++i) {
            const double salary = 30000 + 1500 * i + 9000 * std::sin(i * 0.7);
            insert += (i > 1 ? ", (" : "(") + std::to_string(i) + ", 'Name" + std::to_string(i)
                      + "', " + std::to_string(salary) + ", " + std::to_string(i % 6) + ")";
        }
        db_->Execute(insert);
    }

    QString Picture(const char* name) const { return dir_.filePath(QString::fromUtf8(name)); }

    QTemporaryDir dir_;
    std::unique_ptr<test::TestDatabase> db_;
};

TEST_F(ZelDemoTest, EveryWindowIsSavedAndShowsSomething)
{
    ASSERT_EQ(RunDemo(db_->Name(), dir_.path().toStdString()), 0);
    for (const char* name : {"demo.png", "statfieldname.png", "output.png", "frequency.png",
                             "chart.png", "chart-histogram.png", "query.png"})
        EXPECT_TRUE(ShowsSomething(Picture(name))) << name;
}

TEST_F(ZelDemoTest, DatabaseThatCannotBeOpenedIsReportedNotFatal)
{
    // The windows cannot open, so the run reports missing pictures; the demo itself stays up.
    EXPECT_NE(RunDemo(dir_.filePath("no-such.db").toStdString(), dir_.path().toStdString()), 0);
    EXPECT_TRUE(ShowsSomething(Picture("demo.png")));
    EXPECT_FALSE(QImage(Picture("output.png")).width() > 0);
}

} // namespace
} // namespace zel

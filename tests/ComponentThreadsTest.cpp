// Components off the window thread: made, summarised and freed on two threads at once, and a
// summary that raises messages on a worker thread with no handler of the caller's installed.
// The ThreadSanitizer leg of scripts/test.sh runs these too, so a race fails them there.
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <thread>

using namespace zel;
using namespace zel::test;

namespace {

// Summarises values 1, 2 and 6 (mean 3, variance 7) through a component of each kind.
bool SummariseBothKinds(const std::string& database)
{
    TRivuReviTable table;
    table.SetDatabaseName(database);
    table.SetTableName("T");
    table.SetStatFieldName("X");
    table.Open();
    table.Summarize();
    TRivuReviQuery query;
    query.SetDatabaseName(database);
    query.SetSQL({"SELECT X FROM T"});
    query.SetStatFieldName("X");
    query.Open();
    query.Summarize();
    return table.GetdsDataCount() == 3 && query.GetdsDataCount() == 3
           && std::abs(table.GetdsMean() - 3) < 1e-12 && std::abs(query.GetdsVariance() - 7) < 1e-12;
}

TEST(ComponentThreads, ComponentsAreMadeSummarisedAndFreedOnTwoThreadsAtOnce)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "T", "X", {1, 2, 6});
    std::atomic<int> right{0};
    auto work = [&] {
        for (int round = 0; round < 10; ++round)
            right += SummariseBothKinds(db->Name());
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(right, 20);
}

// What the worker hands back: the median, or the failure that ended it.
struct WorkerResult {
    double median = 0;
    std::string failure;
};

// A worker's summary raises the load's question and the median's warning while no handler of
// the caller's is installed: both go to standard error (the question answered No) instead of a
// message box on a thread without an event loop, which would wait for ever.
TEST(ComponentThreads, MessagesOffTheWindowThreadWithoutAHandlerGoToStandardError)
{
    auto db = MakeSqliteDatabase();
    std::vector<double> values(MaxStoredValues + 1);
    std::iota(values.begin(), values.end(), 1.0);
    CreateValueTable(*db, "T", "X", values);
    const MessageHandler installed = SetMessageHandler({});

    testing::internal::CaptureStderr();
    // Everything the worker uses is its own: should it hang, it is left behind, not joined.
    std::packaged_task<WorkerResult(std::string)> task([](std::string database) {
        WorkerResult result;
        try {
            TRivuReviTable table;
            table.SetDatabaseName(database);
            table.SetTableName("T");
            table.SetStatFieldName("X");
            table.SetShowCalcProgress(TBoolPlus::Prompt);
            table.Open();
            table.Summarize();
            result.median = table.GetdsMedian();
        } catch (const std::exception& e) {
            result.failure = e.what();
        }
        return result;
    });
    std::future<WorkerResult> done = task.get_future();
    std::thread worker(std::move(task), db->Name());
    const bool finished = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    const std::string printed = testing::internal::GetCapturedStderr();
    SetMessageHandler(installed);
    if (!finished) {
        worker.detach();
        FAIL() << "the summary on the worker thread did not finish: it waits on a message";
    }
    worker.join();
    const WorkerResult result = done.get();
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.median, (MaxStoredValues + 1) / 2.0); // of the first 10000 values
    EXPECT_NE(printed.find("Large dataset. Show progress  during loading or calculating."),
              std::string::npos) << printed;
    EXPECT_NE(printed.find("Median is calculated based on only the first 10000 records."),
              std::string::npos) << printed;
}

} // namespace

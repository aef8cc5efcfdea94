// A spool must give back exactly the values it was given, in order and to the bit, wherever
// they went (memory, the temporary file, or both), and must fail quietly where it cannot write.
#include "zelstats/stats/Spool.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

using namespace zel;

namespace {

constexpr std::size_t Block = TSpool::BlockValues;

// Distinct values with awkward bits: negative zero, subnormals, NaN payloads, infinities.
double ValueAt(std::int64_t k)
{
    switch (k % 7) {
    case 0: return -0.0;
    case 1: return std::numeric_limits<double>::denorm_min() * double(k);
    case 2: return std::bit_cast<double>(0x7ff8'0000'0000'0000ULL | std::uint64_t(k));
    case 3: return k % 2 == 0 ? std::numeric_limits<double>::infinity() : -1e308;
    default: return double(k) * 1.1 - 3e6;
    }
}

// Sets TMPDIR for the life of the object and puts back what was there.
class TemporaryFolderSetting {
public:
    explicit TemporaryFolderSetting(const std::string& folder)
    {
        if (const char* old = std::getenv("TMPDIR"))
            old_ = old;
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TemporaryFolderSetting()
    {
        if (old_)
            setenv("TMPDIR", old_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    std::optional<std::string> old_;
};

struct Layout {
    const char* name;
    std::size_t budgetBytes;
    std::int64_t count;
};

class SpoolLayout : public testing::TestWithParam<Layout> {};

TEST_P(SpoolLayout, GivesBackEveryValueInOrderToTheBit)
{
    const Layout& layout = GetParam();
    TSpool spool(layout.budgetBytes);
    // Every byte held counts against the budget, the file's write buffer included.
    std::size_t peak = 0;
    for (std::int64_t k = 0; k < layout.count; ++k) {
        spool.Add(ValueAt(k));
        peak = std::max(peak, spool.MemoryBytes());
    }
    ASSERT_TRUE(spool.Seal());
    ASSERT_EQ(spool.Count(), layout.count);

    EXPECT_LE(peak, std::max(layout.budgetBytes, TSpool::MinWriteValues * 8));
    const auto inMemory = std::min<std::int64_t>(layout.count, layout.budgetBytes / 8);
    EXPECT_GE(spool.FileBytes(), (layout.count - inMemory) * 8);

    // Two readers at once, one by odd-sized reads and one by blocks, do not disturb each other.
    TSpool::TReader byReads = spool.Reader();
    TSpool::TReader byBlocks = spool.Reader();
    std::vector<double> read(layout.count + 1), blocks;
    std::size_t got = 0;
    while (const std::size_t n =
               byReads.Read(read.data() + got, std::min<std::size_t>(1001, read.size() - got))) {
        got += n;
        while (blocks.size() < got) {
            const auto block = byBlocks.NextBlock();
            ASSERT_FALSE(block.empty());
            blocks.insert(blocks.end(), block.begin(), block.end());
        }
    }
    for (auto block = byBlocks.NextBlock(); !block.empty(); block = byBlocks.NextBlock())
        blocks.insert(blocks.end(), block.begin(), block.end());
    ASSERT_EQ(got, std::size_t(layout.count));
    ASSERT_EQ(blocks.size(), std::size_t(layout.count));
    for (std::int64_t k = 0; k < layout.count; ++k) {
        const auto want = std::bit_cast<std::uint64_t>(ValueAt(k));
        ASSERT_EQ(std::bit_cast<std::uint64_t>(read[k]), want) << "value " << k;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(blocks[k]), want) << "value " << k;
    }
    // A second walk reads the same again.
    TSpool::TReader again = spool.Reader();
    std::vector<double> second(layout.count + 1);
    EXPECT_EQ(again.Read(second.data(), second.size()), std::size_t(layout.count));
}

INSTANTIATE_TEST_SUITE_P(
    Budgets, SpoolLayout,
    testing::Values(Layout{"Empty", 1024, 0},
                    Layout{"AllInMemory", TSpool::DefaultMemory, 2 * Block + 17},
                    Layout{"AllInFile", 0, 2 * Block + 17},
                    Layout{"FileBlocksExactlyFull", 0, 2 * Block},
                    Layout{"BudgetEndsInsideABlock", (Block + 100) * 8, 3 * Block + 5},
                    Layout{"BudgetNotAWholeValue", 8 * 1000 + 5, 1000 + Block}),
    [](const auto& info) { return info.param.name; });

TEST(Spool, TemporaryFileHasNoNameInTheFolder)
{
    const auto folder = std::filesystem::temp_directory_path()
                        / ("zelstats-spooltest-" + std::to_string(::getpid()));
    std::filesystem::create_directory(folder);
    {
        const TemporaryFolderSetting setting(folder.string());
        TSpool spool(0);
        for (std::size_t k = 0; k < 3 * Block; ++k)
            spool.Add(double(k));
        ASSERT_TRUE(spool.Seal());
        EXPECT_EQ(spool.FileBytes(), std::int64_t(3 * Block * 8));
        EXPECT_TRUE(std::filesystem::is_empty(folder));
    }
    std::filesystem::remove_all(folder);
}

TEST(Spool, MissingTemporaryFolderFailsQuietlyAndReleasesMemory)
{
    const TemporaryFolderSetting setting("/nonexistent/zelstats-spool-folder");
    TSpool spool(Block * 8);
    for (std::size_t k = 0; k < 3 * Block; ++k)
        spool.Add(double(k));
    EXPECT_FALSE(spool.Seal());
    EXPECT_FALSE(spool.Complete());
    EXPECT_EQ(spool.MemoryBytes(), 0u);
    EXPECT_THROW(spool.Reader(), std::logic_error);
}

} // namespace

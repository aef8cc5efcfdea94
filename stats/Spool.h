// A spool: the values one load read, kept so that every later pass of that load reads them
// again without asking the data source.
//
// Values are kept in memory up to a budget, in blocks, and beyond it in an unnamed temporary
// file in the system's temporary folder (TMPDIR, else /tmp) that disappears with the process:
// 8 bytes a value beyond the budget. The buffer the file is written through counts against the
// budget too (an eighth of it, at most 1 MiB and at least 4 KiB), so a spool holds no more
// than its budget whatever the number of values: many spools share one budget in describe. Whatever goes wrong while
// writing (no temporary folder, a full disk, no memory for a block) does not fail the load:
// the spool says it is not Complete() and its owner reads the data source again instead.
//
// Use: Add every value in order, Seal once, then read it any number of times through Readers,
// one after another or at the same time. A spool is never written again after Seal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zel {

// A spool's temporary file could not be read back. Its owner reads the data source instead.
class ESpoolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TSpool {
public:
    // Bytes a spool keeps in memory before it turns to its temporary file.
    static constexpr std::size_t DefaultMemory = std::size_t{64} << 20;
    // Values of one memory block, of the largest file write and of one file read: 1 MiB.
    static constexpr std::size_t BlockValues = std::size_t{1} << 17;
    // Values of the smallest write buffer: 4 KiB, the one thing a budget below it does not hold.
    static constexpr std::size_t MinWriteValues = 512;

    // A budget of 0 keeps every value in the file.
    explicit TSpool(std::size_t memoryBudget = DefaultMemory);
    ~TSpool();
    TSpool(const TSpool&) = delete;
    TSpool& operator=(const TSpool&) = delete;

    // Appends one value. Never throws: a failure marks the spool incomplete and releases what
    // it held, and the values after it are dropped.
    void Add(double x)
    {
        if (next_ == end_)
            MakeRoom();
        *next_++ = x;
    }
    // Ends writing: the last block goes to the file. Returns Complete().
    bool Seal() noexcept;

    // Sealed, and every value added is kept.
    bool Complete() const { return sealed_ && !failed_; }
    // Values kept; meaningful once Complete().
    std::int64_t Count() const { return count_; }
    // Bytes held in memory: the memory blocks and the write buffer. At most the budget (or
    // 4 KiB, should the budget be smaller).
    std::size_t MemoryBytes() const
    {
        return (memoryValues_ + (writeBuffer_ != nullptr ? writeValues_ : 0)) * sizeof(double);
    }
    // Bytes written to the temporary file.
    std::int64_t FileBytes() const { return fileValues_ * static_cast<std::int64_t>(sizeof(double)); }

    // The folder the temporary file goes to: TMPDIR when set and not empty, else /tmp.
    static std::string TemporaryFolder();

    // Reads a complete spool from its first value to its last. Readers of one spool do not
    // disturb each other, also on different threads; the spool must outlive them. A reader hands out its values through
    // NextBlock or through Read, not both.
    class TReader {
    public:
        explicit TReader(const TSpool& spool);
        ~TReader();
        TReader(TReader&&) noexcept;
        TReader& operator=(TReader&&) = delete;

        // The next values in order, at most BlockValues of them; empty at the end. The span
        // stays valid until the next call. Throws ESpoolError when the file cannot be read.
        std::span<const double> NextBlock();
        // Puts up to `capacity` further values into `values` and returns how many; 0 at the
        // end. Throws ESpoolError when the file cannot be read.
        std::size_t Read(double* values, std::size_t capacity);

    private:
        const TSpool* spool_;
        std::size_t block_ = 0;        // next memory block
        std::int64_t fileRead_ = 0;    // values of the file already read
        std::unique_ptr<double[]> buffer_;
        std::span<const double> pending_; // what Read has not handed out of the last block
    };
    TReader Reader() const { return TReader(*this); }

private:
    struct Block {
        std::unique_ptr<double[]> values;
        std::size_t size = 0;
    };

    void MakeRoom() noexcept;
    bool OpenFile() noexcept;
    bool WriteBuffer() noexcept;
    void Fail() noexcept;

    std::size_t writeValues_;  // values of the write buffer, once there is one
    std::size_t blockBudget_;  // values the memory blocks may hold: the budget less the buffer
    std::vector<Block> blocks_;
    std::size_t memoryValues_ = 0; // values of the memory blocks, the one being filled included
    std::unique_ptr<double[]> writeBuffer_;
    std::int64_t fileValues_ = 0;  // values written to the file
    int fd_ = -1;
    double* next_ = nullptr;
    double* end_ = nullptr;
    std::int64_t count_ = 0;
    bool sealed_ = false;
    bool failed_ = false;
    // Where values go once the spool has failed, so that Add needs no test of its own.
    double discard_[64];
};

} // namespace zel

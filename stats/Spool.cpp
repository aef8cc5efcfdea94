#include "zelstats/stats/Spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

namespace zel {

namespace {

std::unique_ptr<double[]> NewValues(std::size_t count)
{
    return std::make_unique_for_overwrite<double[]>(count);
}

} // namespace

TSpool::TSpool(std::size_t memoryBudget)
    : writeValues_(std::clamp(memoryBudget / sizeof(double) / 8, MinWriteValues, BlockValues)),
      blockBudget_(memoryBudget / sizeof(double) > writeValues_
                       ? memoryBudget / sizeof(double) - writeValues_
                       : 0)
{
}

TSpool::~TSpool()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::string TSpool::TemporaryFolder()
{
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

void TSpool::MakeRoom() noexcept
{
    if (failed_ || sealed_) {
        next_ = discard_;
        end_ = discard_ + std::size(discard_);
        return;
    }
    if (writeBuffer_ == nullptr) {
        // Still in memory: another block while the budget allows one, else the file.
        const std::size_t room = blockBudget_ - memoryValues_;
        try {
            if (room > 0) {
                const std::size_t size = std::min(room, BlockValues);
                blocks_.push_back({NewValues(size), size});
                memoryValues_ += size;
                next_ = blocks_.back().values.get();
                end_ = next_ + size;
                return;
            }
            writeBuffer_ = NewValues(writeValues_);
        } catch (const std::bad_alloc&) {
            Fail();
            MakeRoom();
            return;
        }
        if (!OpenFile()) {
            Fail();
            MakeRoom();
            return;
        }
    } else if (!WriteBuffer()) {
        Fail();
        MakeRoom();
        return;
    }
    next_ = writeBuffer_.get();
    end_ = next_ + writeValues_;
}

bool TSpool::OpenFile() noexcept
{
    const std::string folder = TemporaryFolder();
#ifdef O_TMPFILE
    // A file with no name at all. Not every file system has them (EOPNOTSUPP, or EISDIR from
    // a kernel that does not know the flag): then a named file, unlinked at once.
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ >= 0)
        return true;
#endif
    std::string path = folder + "/zelstats-spool.XXXXXX";
    fd_ = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd_ < 0)
        return false;
    ::unlink(path.c_str());
    return true;
}

bool TSpool::WriteBuffer() noexcept
{
    const std::size_t values = static_cast<std::size_t>(next_ - writeBuffer_.get());
    const char* from = reinterpret_cast<const char*>(writeBuffer_.get());
    std::size_t left = values * sizeof(double);
    while (left > 0) {
        // write may take fewer bytes than asked, or be interrupted before it takes any.
        const ssize_t written = ::write(fd_, from, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        from += written;
        left -= static_cast<std::size_t>(written);
    }
    fileValues_ += static_cast<std::int64_t>(values);
    return true;
}

void TSpool::Fail() noexcept
{
    failed_ = true;
    blocks_.clear();
    blocks_.shrink_to_fit();
    memoryValues_ = 0;
    writeBuffer_.reset();
    fileValues_ = 0;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool TSpool::Seal() noexcept
{
    if (sealed_)
        return Complete();
    if (!failed_) {
        if (writeBuffer_ != nullptr) {
            if (WriteBuffer())
                writeBuffer_.reset();
            else
                Fail();
        } else if (!blocks_.empty()) {
            blocks_.back().size = static_cast<std::size_t>(next_ - blocks_.back().values.get());
        }
    }
    sealed_ = true;
    next_ = end_ = nullptr; // a later Add is dropped
    count_ = fileValues_;
    for (const Block& block : blocks_)
        count_ += static_cast<std::int64_t>(block.size);
    return Complete();
}

TSpool::TReader::TReader(const TSpool& spool) : spool_(&spool)
{
    if (!spool.Complete())
        throw std::logic_error("only a sealed, complete spool can be read");
}

TSpool::TReader::~TReader() = default;
TSpool::TReader::TReader(TReader&&) noexcept = default;

std::span<const double> TSpool::TReader::NextBlock()
{
    pending_ = {};
    if (block_ < spool_->blocks_.size()) {
        const Block& block = spool_->blocks_[block_++];
        return {block.values.get(), block.size};
    }
    const std::int64_t left = spool_->fileValues_ - fileRead_;
    if (left <= 0)
        return {};
    if (buffer_ == nullptr) {
        try {
            buffer_ = NewValues(BlockValues);
        } catch (const std::bad_alloc&) {
            throw ESpoolError("There is no memory to read the spooled values back.");
        }
    }
    const auto values = static_cast<std::size_t>(std::min<std::int64_t>(left, BlockValues));
    char* to = reinterpret_cast<char*>(buffer_.get());
    std::size_t wanted = values * sizeof(double);
    off_t offset = static_cast<off_t>(fileRead_) * static_cast<off_t>(sizeof(double));
    while (wanted > 0) {
        // pread leaves the descriptor's own offset alone, so readers do not disturb each other.
        const ssize_t got = ::pread(spool_->fd_, to, wanted, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw ESpoolError(std::string("The temporary file of spooled values could not be read: ")
                              + std::strerror(errno) + ".");
        if (got == 0)
            throw ESpoolError("The temporary file of spooled values ended early.");
        to += got;
        offset += got;
        wanted -= static_cast<std::size_t>(got);
    }
    fileRead_ += static_cast<std::int64_t>(values);
    return {buffer_.get(), values};
}

std::size_t TSpool::TReader::Read(double* values, std::size_t capacity)
{
    std::size_t n = 0;
    while (n < capacity) {
        if (pending_.empty()) {
            pending_ = NextBlock();
            if (pending_.empty())
                break;
        }
        const std::size_t k = std::min(capacity - n, pending_.size());
        std::copy_n(pending_.data(), k, values + n);
        pending_ = pending_.subspan(k);
        n += k;
    }
    return n;
}

} // namespace zel

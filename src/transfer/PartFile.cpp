#include "transfer/PartFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

namespace vox {

namespace {

// The longest file name part kept in a temporary name, so that the suffix fits the system's
// limit on one name (255 bytes).
constexpr std::size_t kMaxKeptNameBytes = 200;
constexpr int kCreateAttempts = 100;
// The disk starts writing out what has arrived in steps of this much.
constexpr std::int64_t kWriteBackBytes = std::int64_t{8} << 20;

[[noreturn]] void Fail(int code, const char* what) {
    throw std::system_error(code, std::generic_category(), what);
}

std::string RandomSuffix(std::mt19937& random) {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string text;
    for (int i = 0; i < 6; ++i) {
        text += kChars[pick(random)];
    }
    return text;
}

}  // namespace

TPartFile::TPartFile(std::string finalPath) : finalPath_(std::move(finalPath)) {
    const std::size_t slash = finalPath_.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string stem = finalPath_;
    if (stem.size() - nameStart > kMaxKeptNameBytes) {
        stem.resize(nameStart + kMaxKeptNameBytes);
    }
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0;; ++attempt) {
        tempPath_ = stem + "." + RandomSuffix(random) + ".part";
        fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            break;
        }
        if (errno != EEXIST || attempt + 1 >= kCreateAttempts) {
            Fail(errno, "create");
        }
    }
}

TPartFile::~TPartFile() {
    CloseFile();
    if (!committed_) {
        Discard();
    }
}

void TPartFile::Written(std::int64_t size) {
    if (fd_ < 0 || size - writeBackFrom_ < kWriteBackBytes) {
        return;
    }
    // Only a start: it does not wait. A file system that cannot do it writes at Finish().
    ::sync_file_range(fd_, writeBackFrom_, size - writeBackFrom_, SYNC_FILE_RANGE_WRITE);
    writeBackFrom_ = size;
}

void TPartFile::Finish() {
    if (fd_ < 0) {
        Fail(EBADF, "fsync");
    }
    if (::fsync(fd_) != 0) {
        Fail(errno, "fsync");
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        Fail(errno, "close");
    }
}

void TPartFile::Commit() {
    if (fd_ >= 0) {
        Finish();
    }
    if (::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
        Fail(errno, "rename");
    }
    committed_ = true;
}

void TPartFile::Discard() {
    CloseFile();
    if (!committed_ && !removed_) {
        ::unlink(tempPath_.c_str());
        removed_ = true;
    }
}

void TPartFile::CloseFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace vox

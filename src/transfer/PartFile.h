// The file a receiving transfer writes: it grows under a temporary name beside the final one
// and takes the final name only when the whole file has arrived. A transfer that fails leaves
// neither a partial file that could pass for the whole one nor a damaged earlier file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vox {

class TPartFile {
  public:
    // Creates a new, empty file "<final path>.<6 random characters>.part" in the folder of
    // finalPath; the final path itself is not touched. Raises std::system_error when the file
    // cannot be created.
    explicit TPartFile(std::string finalPath);
    // Removes the temporary file unless it was committed.
    ~TPartFile();

    TPartFile(const TPartFile&) = delete;
    TPartFile& operator=(const TPartFile&) = delete;

    // The file now holds size bytes: every few MiB the disk starts writing them out, so that
    // Finish() does not wait for the whole file at the end.
    void Written(std::int64_t size);
    // Flushes the file to the disk and closes it.
    void Finish();
    // Gives the finished file its final name, replacing a file of that name. Raises
    // std::system_error (the temporary file is then removed by the destructor).
    void Commit();
    // Removes the temporary file now.
    void Discard();

    // The open file: the bytes are written straight to it, at its end. -1 once finished.
    int Fd() const { return fd_; }
    const std::string& TempPath() const { return tempPath_; }
    const std::string& FinalPath() const { return finalPath_; }

  private:
    void CloseFile();

    std::string finalPath_;
    std::string tempPath_;
    int fd_ = -1;
    std::int64_t writeBackFrom_ = 0;
    bool committed_ = false;
    bool removed_ = false;
};

}  // namespace vox

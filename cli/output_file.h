#pragma once
// A file that lumrax writes for its user (dump --out, monitor --csv, the --log file): written
// beside its target under a temporary name and renamed over the target only when the run
// keeps it. So a run never empties, truncates or removes a file that it did not make, and
// writes nothing but regular files.
#include <cstdio>
#include <string>
#include <string_view>

namespace cli {

class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile() { Drop(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The temporary file made beside path. False with the reason: path is there but is no
    // regular file (a device, a folder, a pipe), or the file cannot be made.
    bool Open(const std::string& path, std::string& reason);
    bool is_open() const { return file_ != nullptr; }
    std::FILE* stream() { return file_; }
    const std::string& temp_path() const { return temp_; }
    // f becomes the stream, closed and kept with the file (the COM log opens the temporary
    // file itself); the stream that Open made is closed.
    void Adopt(std::FILE* f);
    // A failed write is remembered: the file is then not kept.
    bool Write(std::string_view bytes);
    // Flushed to the disk, closed and renamed over the target. False with the reason; the
    // temporary file is then removed and the target stays as it was.
    bool Keep(std::string& reason);
    // Closed and removed: the target stays as it was.
    void Drop();

  private:
    std::string target_;
    std::string temp_;
    std::FILE* file_ = nullptr;
    int write_errno_ = 0;
    bool write_failed_ = false;
};

}  // namespace cli

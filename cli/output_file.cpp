#include "cli/output_file.h"

#include <cerrno>
#include <cstring>

#include "cli/cli_platform.h"

namespace cli {

bool OutputFile::Open(const std::string& path, std::string& reason) {
    Drop();
    const std::string target = FinalPath(path);
    errno = 0;
    if (KindOf(target) == PathKind::kOther) {
        // errno is set only when the path could not be looked at.
        reason = errno != 0 ? std::strerror(errno) : "not a regular file";
        return false;
    }
    std::FILE* f = CreateTempBeside(target, temp_);
    if (f == nullptr) {
        reason = std::strerror(errno);
        return false;
    }
    target_ = target;
    file_ = f;
    write_failed_ = false;
    write_errno_ = 0;
    return true;
}

void OutputFile::Adopt(std::FILE* f) {
    if (file_ != nullptr && file_ != f) std::fclose(file_);
    file_ = f;
}

bool OutputFile::Write(std::string_view bytes) {
    if (file_ == nullptr) return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() ||
        std::fflush(file_) != 0) {
        if (!write_failed_) write_errno_ = errno;
        write_failed_ = true;
    }
    return !write_failed_;
}

bool OutputFile::Keep(std::string& reason) {
    if (file_ == nullptr) {
        reason = "not open";
        return false;
    }
    errno = 0;
    bool ok = !write_failed_ && std::ferror(file_) == 0;
    int err = write_failed_ ? write_errno_ : 0;
    if (ok && !SyncFile(file_)) {
        ok = false;
        err = errno;
    }
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (ok && closed != 0) {
        ok = false;
        err = errno;
    }
    if (ok && !RenameOver(temp_, target_)) {
        ok = false;
        err = errno;
    }
    if (ok) {
        temp_.clear();
        return true;
    }
    reason = err != 0 ? std::strerror(err) : "write error";
    Drop();
    return false;
}

void OutputFile::Drop() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) std::remove(temp_.c_str());
    temp_.clear();
}

}  // namespace cli

#include "file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace KvrnVectorOut {

StagedFile::~StagedFile() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : path_(std::move(other.path_)), temporary_(std::move(other.temporary_)) {
    other.temporary_.clear();
}

int StagedFile::Write(const std::filesystem::path& path, std::string_view bytes) {
    path_ = path;
    std::string name = path.string() + ".tmp-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return errno != 0 ? errno : EIO;
    temporary_ = name;
    // mkstemp makes the file private; give it the permissions a new file would have.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    int error = 0;
    for (size_t done = 0; done < bytes.size() && error == 0;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
        } else {
            done += size_t(n);
        }
    }
    if (::close(fd) != 0 && error == 0) error = errno != 0 ? errno : EIO;
    if (error != 0) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
    return error;
}

int StagedFile::Commit() {
    if (temporary_.empty()) return EINVAL;
    std::error_code renamed;
    std::filesystem::rename(temporary_, path_, renamed);
    if (renamed) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
        return renamed.value();
    }
    temporary_.clear();
    return 0;
}

int WriteFileReplacing(const std::filesystem::path& path, std::string_view bytes) {
    StagedFile file;
    const int error = file.Write(path, bytes);
    return error != 0 ? error : file.Commit();
}

}  // namespace KvrnVectorOut

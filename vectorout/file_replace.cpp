#include "file_replace.h"

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>

namespace KvrnVectorOut {
namespace {

std::FILE* OpenForWriting(const std::filesystem::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

// errno, or EIO when the C library failed without saying why.
int LastError() { return errno != 0 ? errno : EIO; }

}  // namespace

int WriteFileReplacing(const std::filesystem::path& path, std::string_view bytes) {
    // A random suffix keeps two writers of the same name from sharing a temporary file.
    std::filesystem::path temporary = path;
    temporary += ".tmp" + std::to_string(std::random_device{}() & 0xFFFFFFu);

    errno = 0;
    std::FILE* file = OpenForWriting(temporary);
    if (!file) return LastError();

    int error = 0;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) error = LastError();
    errno = 0;
    if (std::fclose(file) != 0 && error == 0) error = LastError();
    if (error == 0) {
        std::error_code ec;
        std::filesystem::rename(temporary, path, ec);
        error = ec.value();
    }
    if (error != 0) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    }
    return error;
}

}  // namespace KvrnVectorOut

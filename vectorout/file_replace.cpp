#include "file_replace.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <system_error>

namespace KvrnVectorOut {
namespace {

// Fails rather than truncate a file that already has the temporary name.
std::FILE* OpenNewForWriting(const std::filesystem::path& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"wbx");
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

// errno, or EIO when the C library failed without saying why.
int LastError() { return errno != 0 ? errno : EIO; }

}  // namespace

int WriteFileReplacing(const std::filesystem::path& path, std::string_view bytes) {
    // A per-process counter and the clock keep two writers of the same name apart; a name that
    // is taken anyway is skipped.
    static std::atomic<uint32_t> counter{0};
    std::filesystem::path temporary;
    std::FILE* file = nullptr;
    for (int attempt = 0; attempt < 8 && !file; ++attempt) {
        temporary = path;
        temporary +=
            ".tmp" + std::to_string(counter.fetch_add(1)) + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFF);
        errno = 0;
        file = OpenNewForWriting(temporary);
        if (!file && errno != EEXIST) break;
    }
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

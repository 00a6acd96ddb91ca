// Whole-file writes that never leave a partial file behind.
#pragma once

#include <filesystem>
#include <string_view>

namespace KvrnVectorOut {

// A file written completely under a temporary name of its own beside its final path (created
// exclusively, so racing writers never share one), and moved over the final path by Commit.
// Destroyed without Commit, it removes the temporary file and the final path stays as it was:
// several outputs can be written first and committed together, so that a run stopped before the
// commit changes none of them.
class StagedFile {
  public:
    StagedFile() = default;
    ~StagedFile();
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&&) = delete;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Writes bytes under a temporary name beside path. Returns 0, or the errno-style code of the
    // step that failed (open, write or close), the temporary file then removed. Once per object.
    int Write(const std::filesystem::path& path, std::string_view bytes);
    // Renames the written file over its path. Returns 0 or the rename's error code (the
    // temporary file then removed).
    int Commit();

  private:
    std::filesystem::path path_, temporary_;
};

// StagedFile's Write and Commit at once: path ends up either unchanged or complete.
int WriteFileReplacing(const std::filesystem::path& path, std::string_view bytes);

}  // namespace KvrnVectorOut

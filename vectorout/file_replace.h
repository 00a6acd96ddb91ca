// Whole-file writes that never leave a partial file behind.
#pragma once

#include <filesystem>
#include <string_view>

namespace KvrnVectorOut {

// Writes bytes to a temporary file beside path and renames it over path, so path ends up either
// unchanged or complete. Returns 0, or the errno-style code of the step that failed (open,
// write, close or rename); on failure the temporary file is removed.
int WriteFileReplacing(const std::filesystem::path& path, std::string_view bytes);

}  // namespace KvrnVectorOut

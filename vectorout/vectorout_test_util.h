// Helpers shared by the vectorout tests: the lines of written files and scratch folders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vector_image.h"

namespace KvrnVectorOut::Testing {

// Lines of CR LF text; a bare LF or CR fails the calling test.
inline std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "text does not end with CR LF: " << text.substr(start);
            break;
        }
        const std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "bare line break in " << line;
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

// The lines between the prolog's last line (exclusive) and the first line equal to stop.
inline std::vector<std::string> LinesBetween(const std::vector<std::string>& lines,
                                             const std::string& prologEnd,
                                             const std::string& stop) {
    auto first = std::find(lines.begin(), lines.end(), prologEnd);
    if (first == lines.end()) {
        ADD_FAILURE() << "no line " << prologEnd;
        return {};
    }
    ++first;
    return {first, std::find(first, lines.end(), stop)};
}

// The drawing lines of an Illustrator 8 file: after the prolog, before the page trailer.
inline std::vector<std::string> AiBody(const VectorImage& image) {
    return LinesBetween(SplitCrLf(image.Serialize()), "%%EndProlog", "%%PageTrailer");
}

// The drawing lines of a plain EPS file: after the prolog, before "%%EOF".
inline std::vector<std::string> EpsBody(const VectorImage& image) {
    return LinesBetween(SplitCrLf(image.Serialize()), "/_c {setrgbcolor} def", "%%EOF");
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh, empty folder under the system's temporary folder, removed on destruction.
class ScratchDir {
  public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                (std::string("kvrn_vectorout_") + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }
    // The names of the entries in the folder, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace KvrnVectorOut::Testing

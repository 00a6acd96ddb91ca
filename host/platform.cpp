#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace KvrnHost {

namespace fs = std::filesystem;

// ---- Folders ---------------------------------------------------------------------------------

namespace {

struct FolderCache {
    std::mutex mutex;
    std::optional<fs::path> root;
    std::optional<fs::path> configs;
    std::optional<fs::path> presets;
};

FolderCache& Folders() {
    static FolderCache cache;
    return cache;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

fs::path RootFromEnvironment() {
    if (std::string home = Environment("KOVRIN_HOME"); !home.empty()) return fs::path(home);
    if (std::string xdg = Environment("XDG_CONFIG_HOME"); !xdg.empty()) {
        return fs::path(xdg) / "kovrin";
    }
    if (std::string home = Environment("HOME"); !home.empty()) {
        return fs::path(home) / ".config" / "kovrin";
    }
    return fs::path("kovrin");
}

// Folders are made with a plain creation whose failure is ignored: writes into a folder that
// could not be made fail on their own, and reads of it find nothing.
const fs::path& Remember(std::optional<fs::path>& slot, const fs::path& path) {
    if (!slot) {
        std::error_code ignored;
        fs::create_directories(path, ignored);
        slot = path;
    }
    return *slot;
}

}  // namespace

fs::path ProductFolder() {
    FolderCache& cache = Folders();
    std::lock_guard lock(cache.mutex);
    return Remember(cache.root, RootFromEnvironment());
}

fs::path ConfigsFolder() {
    FolderCache& cache = Folders();
    std::lock_guard lock(cache.mutex);
    return Remember(cache.configs, Remember(cache.root, RootFromEnvironment()) / "Configs");
}

fs::path PresetsFolder() {
    FolderCache& cache = Folders();
    std::lock_guard lock(cache.mutex);
    return Remember(cache.presets, Remember(cache.root, RootFromEnvironment()) / "Presets");
}

fs::path ModuleFolder() {
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : exe.parent_path();
}

void ResetFolders() {
    FolderCache& cache = Folders();
    std::lock_guard lock(cache.mutex);
    cache.root.reset();
    cache.configs.reset();
    cache.presets.reset();
}

// ---- Profile files ---------------------------------------------------------------------------

namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

enum class LineKind { kOther, kSection, kEntry };

struct LineMeaning {
    LineKind kind = LineKind::kOther;
    std::string_view name;  // section name or key
    std::string_view value;
};

LineMeaning Classify(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() == ';') return {};
    if (line.front() == '[') {
        line.remove_prefix(1);
        const size_t close = line.find(']');
        return {LineKind::kSection, Trim(line.substr(0, close)), {}};
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return {};
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) return {};
    return {LineKind::kEntry, key, Trim(line.substr(equals + 1))};
}

// A profile file as its lines (line ends removed) and the line end it uses.
struct ProfileText {
    std::vector<std::string> lines;
    bool crlf = false;
};

ProfileText ReadProfileText(const fs::path& file) {
    ProfileText text;
    std::ifstream in(file, std::ios::binary);
    if (!in) return text;
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
            if (text.lines.empty()) text.crlf = true;
        }
        text.lines.push_back(std::move(line));
        start = end + 1;
    }
    return text;
}

// Calls visit(sectionName, meaning, lineIndex) for every entry line inside a section.
template <typename Visit>
void ForEachEntry(const ProfileText& text, Visit&& visit) {
    std::optional<std::string_view> section;
    for (size_t i = 0; i < text.lines.size(); ++i) {
        const LineMeaning meaning = Classify(text.lines[i]);
        if (meaning.kind == LineKind::kSection) {
            section = meaning.name;
        } else if (meaning.kind == LineKind::kEntry && section) {
            visit(*section, meaning, i);
        }
    }
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

std::string GetProfileString(const fs::path& file, std::string_view section, std::string_view key,
                             std::string_view def) {
    const ProfileText text = ReadProfileText(file);
    std::optional<std::string> found;
    ForEachEntry(text, [&](std::string_view name, const LineMeaning& meaning, size_t) {
        if (!found && name == section && meaning.name == key) found = std::string(meaning.value);
    });
    return found ? *found : std::string(def);
}

std::vector<std::string> GetProfileSectionNames(const fs::path& file) {
    const ProfileText text = ReadProfileText(file);
    std::vector<std::string> names;
    for (const std::string& line : text.lines) {
        const LineMeaning meaning = Classify(line);
        if (meaning.kind == LineKind::kSection &&
            std::find(names.begin(), names.end(), meaning.name) == names.end()) {
            names.emplace_back(meaning.name);
        }
    }
    return names;
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(const fs::path& file,
                                                                   std::string_view section) {
    const ProfileText text = ReadProfileText(file);
    std::vector<std::pair<std::string, std::string>> pairs;
    ForEachEntry(text, [&](std::string_view name, const LineMeaning& meaning, size_t) {
        if (name == section) pairs.emplace_back(meaning.name, meaning.value);
    });
    return pairs;
}

bool WriteProfileString(const fs::path& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        HasLineBreak(value) || section.find(']') != std::string_view::npos ||
        key.find('=') != std::string_view::npos) {
        return false;
    }
    ProfileText text = ReadProfileText(file);
    const std::string entry = std::string(key) + "=" + std::string(value);

    std::optional<size_t> keyLine;
    std::optional<size_t> sectionEnd;  // the line after the section's last non-blank line
    bool inSection = false;
    for (size_t i = 0; i < text.lines.size() && !keyLine; ++i) {
        const LineMeaning meaning = Classify(text.lines[i]);
        if (meaning.kind == LineKind::kSection) {
            inSection = meaning.name == section;
            if (inSection) sectionEnd = i + 1;
        } else if (inSection) {
            if (meaning.kind == LineKind::kEntry && meaning.name == key) keyLine = i;
            if (!Trim(text.lines[i]).empty()) sectionEnd = i + 1;
        }
    }
    if (keyLine) {
        text.lines[*keyLine] = entry;
    } else if (sectionEnd) {
        text.lines.insert(text.lines.begin() + std::ptrdiff_t(*sectionEnd), entry);
    } else {
        text.lines.push_back("[" + std::string(section) + "]");
        text.lines.push_back(entry);
    }

    const char* lineEnd = text.crlf ? "\r\n" : "\n";
    std::string bytes;
    for (const std::string& line : text.lines) bytes.append(line).append(lineEnd);
    return WriteFileAtomically(file, bytes);
}

bool WriteFileAtomically(const fs::path& path, std::string_view bytes) {
    std::string temporary = path.string() + ".tmp-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    // mkostemp makes the file private; give it the permissions a new file would have.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    bool ok = true;
    for (size_t done = 0; done < bytes.size() && ok;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    // The data must be on disk before the rename publishes it, or a crash could leave an empty
    // file under the final name.
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

// ---- Settings store --------------------------------------------------------------------------

fs::path SettingsFile() { return ProductFolder() / "registry.ini"; }

std::string ReadSetting(std::string_view keyPath, std::string_view valueName) {
    return GetProfileString(SettingsFile(), keyPath, valueName);
}

bool WriteSetting(std::string_view keyPath, std::string_view valueName, std::string_view value) {
    return WriteProfileString(SettingsFile(), keyPath, valueName, value);
}

// ---- Machine ---------------------------------------------------------------------------------

int ProcessorCount() { return int(std::max(1u, std::thread::hardware_concurrency())); }

int HostLanguageId() {
    const std::string text = Environment("KOVRIN_LANG");
    int id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id <= 0) {
        return kLanguageEnglish;
    }
    return id;
}

// ---- Messages --------------------------------------------------------------------------------

namespace {

struct MessageState {
    std::mutex mutex;
    MessageSink sink;
};

MessageState& Messages() {
    static MessageState state;
    return state;
}

const char* KindName(MessageKind kind) {
    switch (kind) {
        case MessageKind::kInformation:
            return "Information";
        case MessageKind::kWarning:
            return "Warning";
        case MessageKind::kError:
            return "Error";
    }
    return "Message";
}

}  // namespace

MessageSink SetMessageSink(MessageSink sink) {
    MessageState& state = Messages();
    std::lock_guard lock(state.mutex);
    std::swap(state.sink, sink);
    return sink;
}

void ShowMessage(MessageKind kind, std::string_view title, std::string_view text) {
    MessageState& state = Messages();
    std::lock_guard lock(state.mutex);
    if (state.sink) {
        state.sink(kind, title, text);
        return;
    }
    std::ostringstream line;
    line << KindName(kind) << ": " << title << ": " << text << '\n';
    std::fputs(line.str().c_str(), stderr);
}

}  // namespace KvrnHost

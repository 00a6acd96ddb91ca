#include "ini_handler.h"

#include <algorithm>
#include <cstring>

#include "platform.h"

namespace {

bool StorableName(std::string_view name, char forbidden) {
    return !name.empty() && name.find_first_of("\r\n") == std::string_view::npos &&
           name.find(forbidden) == std::string_view::npos;
}

bool StorablePair(std::string_view section, std::string_view key, std::string_view value) {
    return StorableName(section, ']') && StorableName(key, '=') &&
           value.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::string FormatIniParseError(const std::filesystem::path& file, const IniParseError& error) {
    return file.string() + ": [" + error.section + "] " + error.key + ": expected " +
           error.expected + ", got '" + error.value + "'";
}

bool IniHandler::WriteString(std::string_view section, std::string_view key,
                             std::string_view value) {
    return !path_.empty() && KvrnHost::WriteProfileString(path_, section, key, value);
}

bool IniHandler::ReadString(std::string_view section, std::string_view key,
                            std::string& value) const {
    value = path_.empty() ? std::string() : KvrnHost::GetProfileString(path_, section, key);
    return !value.empty();
}

bool IniHandler::ReadString(std::string_view section, std::string_view key, char* buffer,
                            size_t length) const {
    if (buffer == nullptr || length == 0) return false;
    std::string value;
    const bool found = ReadString(section, key, value);
    size_t count = std::min(value.size(), length - 1);
    // Back off to the start of a UTF-8 sequence so that no half character is handed out.
    if (count < value.size()) {
        while (count > 0 && (static_cast<unsigned char>(value[count]) & 0xC0) == 0x80) --count;
    }
    std::memcpy(buffer, value.data(), count);
    buffer[count] = '\0';
    return found;
}

MemIniHandler::Section* MemIniHandler::MutableSection(std::string_view name) {
    const auto found = std::find_if(sections_.begin(), sections_.end(),
                                    [&](const Section& s) { return s.name == name; });
    return found != sections_.end() ? &*found : nullptr;
}

const MemIniHandler::Section* MemIniHandler::FindSection(std::string_view name) const {
    return const_cast<MemIniHandler*>(this)->MutableSection(name);
}

bool MemIniHandler::WriteString(std::string_view section, std::string_view key,
                                std::string_view value) {
    // Names a file could not hold would not survive Save and Load, so they are refused here.
    if (!StorablePair(section, key, value)) return false;
    Section* target = MutableSection(section);
    if (target == nullptr) {
        sections_.push_back({std::string(section), {}});
        target = &sections_.back();
    }
    for (auto& [k, v] : target->pairs) {
        if (k == key) {
            v = value;
            return true;
        }
    }
    target->pairs.emplace_back(key, value);
    return true;
}

bool MemIniHandler::ReadString(std::string_view section, std::string_view key,
                               std::string& value) const {
    value.clear();
    if (const Section* s = FindSection(section)) {
        for (const auto& [k, v] : s->pairs) {
            if (k == key) {
                value = v;
                break;
            }
        }
    }
    return !value.empty();
}

bool MemIniHandler::Load(const std::filesystem::path& path) {
    if (path.empty()) return false;
    sections_.clear();
    for (const std::string& name : KvrnHost::GetProfileSectionNames(path)) {
        Section section{name, {}};
        for (auto& [key, value] : KvrnHost::GetProfileSection(path, name)) {
            const bool seen = std::any_of(section.pairs.begin(), section.pairs.end(),
                                          [&](const auto& pair) { return pair.first == key; });
            if (!seen) section.pairs.emplace_back(std::move(key), std::move(value));
        }
        sections_.push_back(std::move(section));
    }
    return true;
}

std::string MemIniHandler::Serialize() const {
    std::string bytes;
    for (const Section& section : sections_) {
        bytes.append("[").append(section.name).append("]\n");
        for (const auto& [key, value] : section.pairs) {
            bytes.append(key).append(" = ").append(value).append("\n");
        }
    }
    return bytes;
}

bool MemIniHandler::Save(const std::filesystem::path& path) const {
    return !path.empty() && KvrnHost::WriteFileAtomically(path, Serialize());
}

std::vector<std::string> MemIniHandler::SectionNames() const {
    std::vector<std::string> names;
    names.reserve(sections_.size());
    for (const Section& section : sections_) names.push_back(section.name);
    return names;
}

bool MemIniHandler::RemoveSection(std::string_view name) {
    const auto found = std::find_if(sections_.begin(), sections_.end(),
                                    [&](const Section& s) { return s.name == name; });
    if (found == sections_.end()) return false;
    sections_.erase(found);
    return true;
}

// Profile handlers: named sections of key/value strings, on a file (IniHandler) or in memory
// (MemIniHandler). Every settings, default and preset file of the module goes through them, with
// the value encodings of ini_values.h.
//
// Text is UTF-8 in std::string, the platform's own encoding, so files are read and written
// byte for byte without conversion. A handler is used by one thread at a time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A value that was present but did not parse as the reader's kind, noted by the handler it was
// read through so that callers can report it after a whole block was read.
struct IniParseError {
    std::string section;
    std::string key;
    std::string value;
    std::string expected;  // "a number", "three numbers", ...
};

// "FILE: [Section] key: expected a number, got 'abc'".
std::string FormatIniParseError(const std::filesystem::path& file, const IniParseError& error);

// Works directly on the profile file named at construction: every call reads (and a write
// rewrites) the file. Section and key names match case-sensitively; spaces around keys and
// values are not part of them.
class IniHandler {
  public:
    IniHandler() = default;
    explicit IniHandler(std::filesystem::path path) : path_(std::move(path)) {}
    virtual ~IniHandler() = default;

    // Sets key in section (creating the file, the section or the key as needed). False when
    // the value could not be stored: empty or multi-line names, a key with '=', a section with
    // ']', a multi-line value, or a file that cannot be written.
    virtual bool WriteString(std::string_view section, std::string_view key,
                             std::string_view value);
    // True with the value when the key holds a non-empty value; otherwise false and value empty.
    virtual bool ReadString(std::string_view section, std::string_view key,
                            std::string& value) const;
    // The same into a buffer of length bytes (terminator included), cut at a character
    // boundary when the value is longer. On false the buffer holds the empty string.
    bool ReadString(std::string_view section, std::string_view key, char* buffer,
                    size_t length) const;

    // The file this handler works on; empty for a MemIniHandler.
    const std::filesystem::path& Path() const { return path_; }

    // Values that failed to parse in readers called on this handler, oldest first.
    const std::vector<IniParseError>& ParseErrors() const { return parseErrors_; }
    void NoteParseError(IniParseError error) const { parseErrors_.push_back(std::move(error)); }
    void ClearParseErrors() { parseErrors_.clear(); }

  private:
    std::filesystem::path path_;
    // A read is logically const; the error log is a side record of it.
    mutable std::vector<IniParseError> parseErrors_;
};

// The whole profile in memory: sections in order of creation, pairs in order of creation, each
// key once per section. Writing an existing key replaces its value in place; an empty value
// reads as not found.
class MemIniHandler : public IniHandler {
  public:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> pairs;
    };

    MemIniHandler() = default;

    bool WriteString(std::string_view section, std::string_view key,
                     std::string_view value) override;
    bool ReadString(std::string_view section, std::string_view key,
                    std::string& value) const override;
    using IniHandler::ReadString;

    // Discards the contents and reads the file, keeping its order (a repeated key keeps its first
    // value). False only for an empty path: a missing file leaves the handler empty.
    bool Load(const std::filesystem::path& path);
    // Writes "[name]\n" per section and "key = value\n" per pair, no blank lines, atomically
    // (the old file stays whole if writing fails). False for an empty path or a failed write.
    bool Save(const std::filesystem::path& path) const;
    // The bytes Save writes.
    std::string Serialize() const;

    const std::vector<Section>& Sections() const { return sections_; }
    std::vector<std::string> SectionNames() const;
    // nullptr when there is no section of that exact name.
    const Section* FindSection(std::string_view name) const;
    // Removes the section of that exact name; false when there is none.
    bool RemoveSection(std::string_view name);
    void Clear() { sections_.clear(); }

  private:
    Section* MutableSection(std::string_view name);

    std::vector<Section> sections_;
};

// Platform services the plug-in side calls: the module's folders, profile (ini) files, a small
// settings store, the processor count, message boxes as printed messages and the language ID.
// Linux-native; standard library only. Text is UTF-8 in std::string throughout.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace KvrnHost {

// ---- Folders ---------------------------------------------------------------------------------
// The root is $KOVRIN_HOME when set and non-empty, else $XDG_CONFIG_HOME/kovrin, else
// $HOME/.config/kovrin (else ./kovrin when even HOME is unset). Each folder is computed on the
// first query, created on disk then (a failure is ignored: a later write into it just fails) and
// kept for the rest of the run. Thread-safe.
std::filesystem::path ProductFolder();  // the root itself
std::filesystem::path ConfigsFolder();  // root/Configs
std::filesystem::path PresetsFolder();  // root/Presets
// The folder of the running executable (empty when it cannot be found); never created.
std::filesystem::path ModuleFolder();
// Forgets the folders computed so far, so that the next query reads the environment again.
// For tests and for tools that change KOVRIN_HOME while running.
void ResetFolders();

// ---- Profile files ---------------------------------------------------------------------------
// "[section]" lines open sections; "key = value" lines inside them hold values. Spaces and tabs
// around section names, keys and values are not part of them; CRLF and LF line ends are both
// read; lines starting with ';' and lines without '=' are ignored; lines before the first
// section belong to no section. Section and key names match case-sensitively. A repeated key
// reads as its first occurrence; a repeated section header continues the first section of that
// name. A missing or unreadable file reads as an empty profile.

// The value of key in section, or def when the file, section or key is missing.
std::string GetProfileString(const std::filesystem::path& file, std::string_view section,
                             std::string_view key, std::string_view def = {});
// Sets key in section to value: replaces the first occurrence's line in place, else adds the key
// at the end of the section, else adds the section at the end of the file (creating the file).
// Other lines stay byte for byte, and the file's line ends (LF or CRLF) are kept. The file is
// written under a temporary name and renamed over the old one, so it is either the old or the
// new file, never half of one. Returns false (file unchanged) when a name is empty or contains a
// line break, a section name contains ']', a key contains '=' or the file cannot be written.
bool WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value);
// The section names in file order, each once.
std::vector<std::string> GetProfileSectionNames(const std::filesystem::path& file);
// A section's key/value pairs in file order (repeated keys included, as the file has them);
// empty when the section is missing.
std::vector<std::pair<std::string, std::string>> GetProfileSection(
    const std::filesystem::path& file, std::string_view section);

// Writes bytes to path under a temporary name beside it, then renames it over path. Returns
// false (path unchanged, temporary file removed) on any failure.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// ---- Settings store --------------------------------------------------------------------------
// Named string values under key paths (what would be installation values in a system registry),
// kept in the profile file SettingsFile(): section = key path, key = value name.
std::filesystem::path SettingsFile();  // ProductFolder()/registry.ini
// The value, or the empty string when the file, key path or value is missing.
std::string ReadSetting(std::string_view keyPath, std::string_view valueName);
bool WriteSetting(std::string_view keyPath, std::string_view valueName, std::string_view value);

// ---- Machine ---------------------------------------------------------------------------------
// Logical processors available; at least 1.
int ProcessorCount();

// The host's user-interface language ID: $KOVRIN_LANG when it holds a positive decimal number,
// else 1033 (English). Read on every call.
inline constexpr int kLanguageEnglish = 1033;
inline constexpr int kLanguageJapanese = 1041;
int HostLanguageId();

// ---- Messages --------------------------------------------------------------------------------
// What would be a message box is handed to a sink. The default sink prints
// "<Kind>: <title>: <text>" on one line to stderr. Sinks are called under a lock, one message at
// a time, on the caller's thread; a sink must not show messages itself.
enum class MessageKind { kInformation, kWarning, kError };
using MessageSink =
    std::function<void(MessageKind kind, std::string_view title, std::string_view text)>;
// Installs sink (an empty one restores the default) and returns the previous sink (empty when it
// was the default).
MessageSink SetMessageSink(MessageSink sink);
void ShowMessage(MessageKind kind, std::string_view title, std::string_view text);

}  // namespace KvrnHost

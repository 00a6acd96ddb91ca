// Line settings files (.kvx): one line set's edge and reduction switches, its brushes and their
// details with their curves, as a profile file. Sections: [Params] NumInstance, then per
// instance i [Instance<i>] (class identity, SubInstance<j> links, Name), [Instance<i> PB<b>] per
// parameter block and [Instance<i> CC<c>] per curve control. Instance 0 is the line set; brushes
// and brush details are the other instances; nothing else is saved.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "ini_handler.h"

class KvrnLineset;

// Problems found while reading a file, for the checked load: the first one as a message naming
// the file, the section and the key.
class KvxProblems {
  public:
    explicit KvxProblems(std::filesystem::path file) : file_(std::move(file)) {}
    void Add(std::string_view section, std::string_view key, const std::string& what);
    bool Empty() const { return first_.empty(); }
    const std::string& First() const { return first_; }

  private:
    std::filesystem::path file_;
    std::string first_;
};

// ---- Line settings files

// The file's contents for set, at the current time.
void WriteLineSettings(KvrnLineset& set, MemIniHandler& ini);
// Reads ini into set: switches, and a new brush for every linked slot. False when ini has no
// NumInstance (nothing changed then). With problems, what the checked load refuses is noted
// there (the values are still read as the silent load reads them).
bool ReadLineSettings(KvrnLineset& set, const MemIniHandler& ini, KvxProblems* problems = nullptr);

// Silent forms behind the line set's `save` and `load` parameters: nothing happens for a null
// set or an empty path, a file that cannot be read or written changes nothing and says nothing.
// The caller opens the undo hold around a load.
void SaveLineSettings(KvrnLineset* set, const std::filesystem::path& path);
void LoadLineSettings(KvrnLineset* set, const std::filesystem::path& path);

// Checked forms for the command line. Empty on success, otherwise the first problem as
// "FILE: [Section] key: what" (or "FILE: what" for the file as a whole): a missing file, no
// NumInstance, a class that cannot be created, a value that does not parse, a value out of range,
// a key that names no parameter of its block section, a link out of range. On failure the line
// set is unchanged; on success the load is one undo entry "Param Change".
std::string LoadLineSettingsChecked(KvrnLineset& set, const std::filesystem::path& path);
std::string SaveLineSettingsChecked(KvrnLineset& set, const std::filesystem::path& path);

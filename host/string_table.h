// The module's string table: user-visible English texts by resource ID.
#pragma once

namespace KvrnHost {

// The English text of a resource string (UTF-8, static storage), or nullptr when the table has
// no string of that ID; callers treat nullptr as empty. IDs from 10000 are English texts; the
// same IDs plus 40000 (other languages) have no texts here and yield nullptr. Thread-safe.
const char* GetString(int id);

// GetString with "" for a missing ID.
inline const char* GetStringOrEmpty(int id) {
    const char* text = GetString(id);
    return text != nullptr ? text : "";
}

}  // namespace KvrnHost

// The module's scripting interface `KvrnStaticInterface`: functions that need no object.
// Interface ID (0x420B13DC, 0x743D40D3), internal name "KvrnStaticInterface"; the IDs, names
// and the spelling of the functions are fixed by the scripts that call them.
#pragma once

#include "class_id.h"
#include "function_publishing.h"

inline constexpr Interface_ID KVRN_STATIC_INTERFACE_ID(0x420B13DC, 0x743D40D3);

class KvrnStaticInterface : public FPStaticInterface {
  public:
    enum FunctionId : FunctionID { kOpenBrushSettings = 0, kGetLangID = 3 };
    KvrnStaticInterface();

    // True when `brush` is a brush: its settings editor is marked open (`dialogOpen`; this
    // program has no windows to show). False for anything else.
    static bool OpenBrushSettings(ReferenceTarget* brush);
    // The user-interface language: the module settings file's, else the host's.
    static int GetLangID();
};

// Registers the interface with the core registry once; later calls return the same object.
KvrnStaticInterface& RegisterStaticInterface();

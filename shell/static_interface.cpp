#include "static_interface.h"

#include "brush.h"
#include "config_files.h"
#include "line_classes.h"

KvrnStaticInterface::KvrnStaticInterface()
    : FPStaticInterface(KVRN_STATIC_INTERFACE_ID, "KvrnStaticInterface") {
    AppendFunction({kOpenBrushSettings,
                    "openBrushSettings",
                    FPType::Bool,
                    {FPType::RefTarg},
                    [](const std::vector<FPValue>& args) -> FPValue {
                        return OpenBrushSettings(std::get<ReferenceTarget*>(args[0]));
                    }});
    AppendFunction({kGetLangID, "getLangID", FPType::Int, {}, [](const std::vector<FPValue>&) {
                        return FPValue(GetLangID());
                    }});
}

bool KvrnStaticInterface::OpenBrushSettings(ReferenceTarget* target) {
    KvrnBrush* brush = AsBrush(target);
    if (!brush) return false;
    brush->Params()->SetValue(kBrushDialogOpen, 0, true);
    return true;
}

int KvrnStaticInterface::GetLangID() { return KvrnShell::LanguageId(); }

KvrnStaticInterface& RegisterStaticInterface() {
    static KvrnStaticInterface* const instance = [] {
        auto* fpi = new KvrnStaticInterface();  // lives as long as the registry
        RegisterCoreInterface(fpi);
        return fpi;
    }();
    return *instance;
}

#include "line_effect_delegate.h"

namespace KvrnLib {

std::weak_ptr<LineEffectDelegate> DefaultLineEffectDelegate() {
    // A function-local static: initialisation is thread-safe and the object outlives every
    // LineEffect, which only holds weak references to it.
    static const std::shared_ptr<LineEffectDelegate> instance =
        std::make_shared<LineEffectDelegateDefault>();
    return instance;
}

}  // namespace KvrnLib

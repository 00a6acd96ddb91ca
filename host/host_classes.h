// Registration of the host's own materials and maps (standard and multi/sub-object materials,
// bitmap, checker, noise and gradient maps, and the coordinate and output objects they hold).
#pragma once

#include "class_desc.h"

// Registering again is harmless; std::invalid_argument when another class has one of their
// identities.
void RegisterHostMaterialClasses(ClassDirectory& directory);

// Registration of the host's own materials and maps (standard and multi/sub-object materials,
// bitmap, checker, noise and gradient maps, and the coordinate and output objects they hold).
#pragma once

#include "class_desc.h"

// Throws std::invalid_argument when one of them is registered already.
void RegisterHostMaterialClasses(ClassDirectory& directory);

// Heap use of the benchmark process, counted by replacing the global operator new and delete:
// the engine allocates through them only, so the peak over a stage is the stage's peak memory.
#pragma once

#include <cstddef>

namespace KvrnBench {

// Bytes held now, and the most held since the last ResetHeapPeak.
size_t HeapInUse();
size_t HeapPeak();
// Starts a new peak from the bytes held now.
void ResetHeapPeak();

}  // namespace KvrnBench

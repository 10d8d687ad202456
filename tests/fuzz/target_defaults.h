// AddressSanitizer's defaults for the fuzz targets (ASAN_OPTIONS still overrides them). Each input
// is checked on its own, with some hundreds of allocations: a quarantine of 16 MB still holds every
// block one input frees, so a use after free within it is caught, while freed memory comes back
// while it is still in the cache; and no stack is recorded at each allocation (run a finding again
// with ASAN_OPTIONS=malloc_context_size=30 to see where its block was allocated).
#pragma once

extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=0"; }

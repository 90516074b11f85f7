#pragma once
// What a registry file or a registry script may hold. Ours hold a handful of
// keys five levels deep; the bounds are far above that, and keep a broken or
// hostile file from costing unbounded memory, time or stack: a key 20000
// levels deep was written back with every ancestor's full path (a 40 KB file
// became 400 MB) and took a stack frame a level. More than a bound is refused
// with a message naming the file, which is left as it is.

#include <cstddef>

constexpr int kRegistryMaxDepth = 32;                // keys below a hive
constexpr std::size_t kRegistryMaxNameLength = 255;  // a key's or value's name (the registry's own limit for keys)
constexpr std::size_t kRegistryMaxValueLength = 16383;  // a value's data as the file writes it
constexpr std::size_t kRegistryMaxKeys = 1000;          // key blocks in a file, keys in a script
constexpr std::size_t kRegistryMaxBytes = 1 << 20;      // a registry file or script, read or written

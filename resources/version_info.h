#pragma once
// The program's version resource: what the about box and "pylax --version"
// show. File and product version 2.2.0.0.

namespace version_info {
inline constexpr char kFileVersion[] = "2, 2, 0, 0";
inline constexpr char kProductVersion[] = "2, 2, 0, 0";
inline constexpr char kFileDescription[] = "Pylax MFC Application";
inline constexpr char kInternalName[] = "Pylax";
inline constexpr char kOriginalFilename[] = "Pylax.EXE";
inline constexpr char kProductName[] = "Pylax Application";
inline constexpr char kLegalCopyright[] =
    "Copyright (C) 2026 the Pylax developers. Provided as is, without warranty of any kind.";
inline constexpr char kDottedVersion[] = "2.2.0.0";
}  // namespace version_info

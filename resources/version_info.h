#pragma once
// The program's version resource: what the about box and "--version" of
// pylax, pylaxctl and qm4sim show, and the packages' version (CMakeLists.txt
// reads kDottedVersion). File and product version 2.2.0.0.

#include <string>

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

// The text of "PROGRAM --version": the program's name and dotted version,
// then every value of the resource.
inline std::string Text(const std::string& program) {
  return program + " " + kDottedVersion + "\n" +
         "FileVersion: " + kFileVersion + "\n" +
         "ProductVersion: " + kProductVersion + "\n" +
         "FileDescription: " + kFileDescription + "\n" +
         "InternalName: " + kInternalName + "\n" +
         "OriginalFilename: " + kOriginalFilename + "\n" +
         "ProductName: " + kProductName + "\n" +
         "LegalCopyright: " + kLegalCopyright + "\n";
}
}  // namespace version_info

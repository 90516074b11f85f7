#pragma once
// The program's resources that are not windows: the registry script.
// Like a resource in a Windows executable they are found through the module
// file they belong to; here they are compiled into the program, so the module
// must exist and the resource must be one of ours.

#include <string>
#include <string_view>

#include "app/standins/com_types.h"

constexpr unsigned IDR_PYLAX = 103;  // the registry script, type "REGISTRY"

// S_OK and the resource's bytes; HRESULT_MOD_NOT_FOUND when no file is at
// modulePath; HRESULT_RESOURCE_NOT_FOUND for an id or type we do not have.
HRESULT LoadModuleResource(const std::string& modulePath, unsigned resourceId,
                           std::string_view type, std::string& bytes);

// The registry script's bytes as built into the program.
std::string_view RegistryScriptResource();

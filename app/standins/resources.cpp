#include "app/standins/resources.h"

#include <unistd.h>

#include <strings.h>

HRESULT LoadModuleResource(const std::string& modulePath, unsigned resourceId,
                           std::string_view type, std::string& bytes) {
  bytes.clear();
  if (::access(modulePath.c_str(), F_OK) != 0) return HRESULT_MOD_NOT_FOUND;
  bool isScript = resourceId == IDR_PYLAX && type.size() == 8 &&
                  ::strncasecmp(type.data(), "REGISTRY", 8) == 0;
  if (!isScript) return HRESULT_RESOURCE_NOT_FOUND;
  bytes = RegistryScriptResource();
  return S_OK;
}

#pragma once
// The handful of COM types and result codes the server module speaks in.
// There is no COM on Linux: these keep the module's contracts (an HRESULT per
// step, negative meaning failure) so the order and outcome of every step stay
// what a Windows build of the program would do.

#include <cstdint>
#include <string>

using HRESULT = std::int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
// The script could not be parsed or names something the registrar lacks.
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
// No type library at a path (missing file, or a file that is not one).
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4Au);
// HRESULT_FROM_WIN32 of ERROR_MOD_NOT_FOUND (126): the module file is gone.
constexpr HRESULT HRESULT_MOD_NOT_FOUND = static_cast<HRESULT>(0x8007007Eu);
// HRESULT_FROM_WIN32 of ERROR_RESOURCE_NAME_NOT_FOUND (1814).
constexpr HRESULT HRESULT_RESOURCE_NOT_FOUND = static_cast<HRESULT>(0x80070716u);
// HRESULT_FROM_WIN32 of ERROR_BADDB (1009): the registry file is not one we
// can read, so it is left exactly as it is.
constexpr HRESULT HRESULT_REGISTRY_CORRUPT = static_cast<HRESULT>(0x800703F1u);
// HRESULT_FROM_WIN32 of ERROR_REGISTRY_IO_FAILED (1016): reading or replacing
// the registry file failed; the old file is untouched.
constexpr HRESULT HRESULT_REGISTRY_IO_FAILED = static_cast<HRESULT>(0x800703F8u);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// A 16-byte identifier in its in-memory layout (three little-endian fields
// and eight bytes), as type libraries store it.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};
};

// "{6B29FC40-CA47-1067-B31D-00DD010662DA}": upper case, hyphens, braces.
std::string GuidToRegistryForm(const Guid& guid);

// The interface every class object would offer; only released here.
class IUnknown {
 public:
  virtual unsigned long Release() = 0;

 protected:
  ~IUnknown() = default;
};

// {00000000-0000-0000-C000-000000000046}
extern const Guid IID_IUnknown;

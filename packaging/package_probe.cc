// qxpkgprobe: what Windows itself reports about an installation, for the
// package tests under Wine (packaging/test-packages). It reads, through the
// same calls as Explorer's file properties and the installer:
//
//   qxpkgprobe version FILE      the version resource: "FileVersion a.b.c.d"
//                                from the fixed part, then "NAME=value" for each
//                                string of the US English / Unicode table
//   qxpkgprobe manifest FILE     the application manifest (resource 1 of type
//                                RT_MANIFEST) as it is stored; status 3 when the
//                                file has none
//   qxpkgprobe products CODE     one line per installed product of the upgrade
//                                code CODE: "{product code} version name"
//   qxpkgprobe path              the system PATH as the registry holds it, one
//                                entry per line
//   qxpkgprobe add-root CERT     adds the DER certificate CERT to the machine's
//                                trusted root store
//   qxpkgprobe trust FILE        whether WinVerifyTrust accepts the Authenticode
//                                signature of FILE ("trusted"); status 4 and the
//                                reason's code when it does not
//
// Status 0 when the answer was read, 1 with a line on standard error when it
// couldn't be, 2 on a usage error.
#include <windows.h>
// windows.h first: msi.h and winver.h build on its types.
#include <msi.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <winver.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kNoManifest = 3;
constexpr int kNotTrusted = 4;

int Fail(const std::string& what, unsigned long code) {
  std::fprintf(stderr, "qxpkgprobe: %s (error %lu)\n", what.c_str(), code);
  return kFailed;
}

// The strings a version resource of this product carries.
constexpr const char* kVersionStrings[] = {"CompanyName",  "FileDescription", "FileVersion",
                                           "InternalName", "LegalCopyright",  "OriginalFilename",
                                           "ProductName",  "ProductVersion"};

int PrintVersion(const char* file) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(file, &ignored);
  if (size == 0) return Fail(std::string("no version resource in ") + file, GetLastError());
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(file, 0, size, block.data())) {
    return Fail(std::string("can't read the version resource of ") + file, GetLastError());
  }
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return Fail(std::string("no fixed version in ") + file, ERROR_RESOURCE_DATA_NOT_FOUND);
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  std::printf("FileVersion %u.%u.%u.%u\n", unsigned{HIWORD(fixed->dwFileVersionMS)},
              unsigned{LOWORD(fixed->dwFileVersionMS)}, unsigned{HIWORD(fixed->dwFileVersionLS)},
              unsigned{LOWORD(fixed->dwFileVersionLS)});
  for (const char* name : kVersionStrings) {
    const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (VerQueryValueA(block.data(), key.c_str(), &value, &length) && length > 0) {
      std::printf("%s=%s\n", name, static_cast<const char*>(value));
    }
  }
  return kOk;
}

int PrintManifest(const char* file) {
  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return Fail(std::string("can't open ") + file, GetLastError());
  int status = kNoManifest;
  if (HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* text = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (text != nullptr) {
      std::fwrite(text, 1, size, stdout);
      std::fputc('\n', stdout);
      status = kOk;
    } else {
      status = Fail(std::string("can't load the manifest of ") + file, GetLastError());
    }
  }
  FreeLibrary(module);
  return status;
}

int PrintProducts(const char* upgrade_code) {
  for (DWORD index = 0;; ++index) {
    char product[39] = {};
    const UINT found = MsiEnumRelatedProductsA(upgrade_code, 0, index, product);
    if (found == ERROR_NO_MORE_ITEMS) return kOk;
    if (found != ERROR_SUCCESS) return Fail("can't list the related products", found);
    char version[64] = {};
    char name[256] = {};
    DWORD version_size = sizeof version;
    DWORD name_size = sizeof name;
    const UINT got_version =
        MsiGetProductInfoA(product, INSTALLPROPERTY_VERSIONSTRING, version, &version_size);
    const UINT got_name =
        MsiGetProductInfoA(product, INSTALLPROPERTY_INSTALLEDPRODUCTNAME, name, &name_size);
    if (got_version != ERROR_SUCCESS)
      return Fail("no version of " + std::string(product), got_version);
    if (got_name != ERROR_SUCCESS) return Fail("no name of " + std::string(product), got_name);
    std::printf("%s %s %s\n", product, version, name);
  }
}

int PrintSystemPath() {
  constexpr const char* kKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
  DWORD size = 0;
  // The value as stored: unexpanded, so that the entries read as written.
  constexpr DWORD kFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  LSTATUS status = RegGetValueA(HKEY_LOCAL_MACHINE, kKey, "Path", kFlags, nullptr, nullptr, &size);
  if (status != ERROR_SUCCESS) return Fail("can't read the system PATH", status);
  std::string path(size, '\0');
  status = RegGetValueA(HKEY_LOCAL_MACHINE, kKey, "Path", kFlags, nullptr, path.data(), &size);
  if (status != ERROR_SUCCESS) return Fail("can't read the system PATH", status);
  path.resize(std::strlen(path.c_str()));
  for (std::size_t start = 0; start < path.size();) {
    std::size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) std::printf("%s\n", path.substr(start, end - start).c_str());
    start = end + 1;
  }
  return kOk;
}

int AddTrustedRoot(const char* file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail(std::string("can't open ") + file, ERROR_OPEN_FAILED);
  const std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  if (in.bad() || der.empty()) return Fail(std::string("can't read ") + file, ERROR_READ_FAULT);
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) return Fail("can't open the machine's root store", GetLastError());
  const BOOL added = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, der.data(), der.size(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) return Fail(std::string("can't add ") + file + " to the root store", error);
  return kOk;
}

// The check Explorer's and the elevation prompt's publisher line rest on:
// the signature, the file's hash in it, and the chain to a trusted root
// (revocation unchecked: no network here).
int PrintTrust(const char* file) {
  const int length = MultiByteToWideChar(CP_ACP, 0, file, -1, nullptr, 0);
  std::wstring path(length > 0 ? length : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, file, -1, path.data(), length);
  WINTRUST_FILE_INFO file_info = {};
  file_info.cbStruct = sizeof file_info;
  file_info.pcwszFilePath = path.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file_info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  if (status != ERROR_SUCCESS) {
    std::printf("not trusted 0x%08lx\n", static_cast<unsigned long>(status));
    return kNotTrusted;
  }
  std::printf("trusted\n");
  return kOk;
}

int Usage() {
  std::fputs(
      "usage: qxpkgprobe version FILE | manifest FILE | products UPGRADE-CODE | path\n"
      "                  | add-root CERT.der | trust FILE\n",
      stderr);
  return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  int status = kUsage;
  if (command == "version" && argc == 3) {
    status = PrintVersion(argv[2]);
  } else if (command == "manifest" && argc == 3) {
    status = PrintManifest(argv[2]);
  } else if (command == "products" && argc == 3) {
    status = PrintProducts(argv[2]);
  } else if (command == "path" && argc == 2) {
    status = PrintSystemPath();
  } else if (command == "add-root" && argc == 3) {
    status = AddTrustedRoot(argv[2]);
  } else if (command == "trust" && argc == 3) {
    status = PrintTrust(argv[2]);
  } else {
    return Usage();
  }
  if (std::fflush(stdout) != 0) return Fail("can't write standard output", GetLastError());
  return status;
}

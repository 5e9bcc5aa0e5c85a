// The platform call layer's one implementation: each operation forwards its
// arguments unchanged to the platform function of the same name and returns its
// result unchanged (no checks, no logging, no retries).
#pragma once

#include "IWin32Api.h"

namespace Corvessan::Orwe {

class CWin32Api : public IWin32Api {
 public:
  constexpr CWin32Api() = default;
  BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) override;
  BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) override;
  SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                      LPVOID context) override;
  SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                      LPVOID context) override;
  BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) override;
  HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name) override;
  HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) override;
  BOOL SetEvent(HANDLE event) override;
  BOOL CloseHandle(HANDLE handle) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists) override;
  BOOL CopyFileA(LPCSTR existingFile, LPCSTR newFile, BOOL failIfExists) override;
  BOOL MoveFileExA(LPCSTR existingFile, LPCSTR newFile, DWORD flags) override;
  BOOL MoveFileExW(LPCWSTR existingFile, LPCWSTR newFile, DWORD flags) override;
  DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) override;
  DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) override;
  PVOID SecureZeroMemory(PVOID pointer, SIZE_T count) override;
  void CoTaskMemFree(LPVOID memory) override;
  HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) override;
  NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR algorithmId, LPCWSTR implementation,
                                       ULONG flags) override;
  NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG outputSize, ULONG* resultSize,
                             ULONG flags) override;
  NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR hashObject,
                            ULONG hashObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags) override;
  NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputSize, ULONG flags) override;
  NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputSize, ULONG flags) override;
  NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) override;
  NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags) override;
  NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType,
                               BCRYPT_KEY_HANDLE* key, PUCHAR input, ULONG inputSize, ULONG flags) override;
  NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR hash, ULONG hashSize,
                                 PUCHAR signature, ULONG signatureSize, ULONG flags) override;
  NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE key) override;
  NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length,
                                 ULONG flags) override;
  NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE key, ULONG flags) override;
  NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE exportKey, LPCWSTR blobType, PUCHAR output,
                           ULONG outputSize, ULONG* resultSize, ULONG flags) override;
  NTSTATUS BCryptSetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR input, ULONG inputSize,
                             ULONG flags) override;
  NTSTATUS BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, PUCHAR keyObject,
                                      ULONG keyObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags) override;
  NTSTATUS BCryptDecrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv,
                         ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) override;
  NTSTATUS BCryptEncrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv,
                         ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) override;
  NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR input, ULONG inputSize, PUCHAR output,
                          ULONG outputSize, ULONG* resultSize, ULONG flags) override;
  BOOL CryptStringToBinaryA(LPCSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize, DWORD* skipped,
                            DWORD* formatFlags) override;
  BOOL CryptStringToBinaryW(LPCWSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize, DWORD* skipped,
                            DWORD* formatFlags) override;
  BOOL CryptBinaryToStringA(const BYTE* binary, DWORD binarySize, DWORD flags, LPSTR string, DWORD* length) override;
  BOOL CryptBinaryToStringW(const BYTE* binary, DWORD binarySize, DWORD flags, LPWSTR string, DWORD* length) override;
};

// The process-wide instance; constant-initialised, so it exists before any
// static constructor runs and lives until the process ends.
extern CWin32Api win32Api;

}  // namespace Corvessan::Orwe

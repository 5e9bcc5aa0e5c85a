// The platform call layer of the service host: every call into the service
// control manager and every event operation of the host goes through here, so
// that tests can stand in for the platform.
//
// Each operation has the name, parameters and result of the platform function it
// forwards to. The slot order is fixed; it includes operations that nothing in
// the system calls (narrow variants, file copies, BCrypt and CryptString).
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <shlobj.h>
#include <wincrypt.h>

namespace Corvessan::Orwe {

// No virtual destructor: implementations are created together with their
// shared-ownership block and destroyed through it.
class IWin32Api {
 public:
  virtual BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) = 0;
  virtual BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) = 0;
  virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                              LPVOID context) = 0;
  virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExA(LPCSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                              LPVOID context) = 0;
  virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) = 0;
  virtual HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name) = 0;
  virtual HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) = 0;
  virtual BOOL SetEvent(HANDLE event) = 0;
  virtual BOOL CloseHandle(HANDLE handle) = 0;
  virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
  virtual BOOL CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists) = 0;
  virtual BOOL CopyFileA(LPCSTR existingFile, LPCSTR newFile, BOOL failIfExists) = 0;
  virtual BOOL MoveFileExA(LPCSTR existingFile, LPCSTR newFile, DWORD flags) = 0;
  virtual BOOL MoveFileExW(LPCWSTR existingFile, LPCWSTR newFile, DWORD flags) = 0;
  virtual DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) = 0;
  virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) = 0;
  virtual PVOID SecureZeroMemory(PVOID pointer, SIZE_T count) = 0;
  virtual void CoTaskMemFree(LPVOID memory) = 0;
  virtual HRESULT SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) = 0;
  virtual NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR algorithmId,
                                               LPCWSTR implementation, ULONG flags) = 0;
  virtual NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG outputSize,
                                     ULONG* resultSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR hashObject,
                                    ULONG hashObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) = 0;
  virtual NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags) = 0;
  virtual NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType,
                                       BCRYPT_KEY_HANDLE* key, PUCHAR input, ULONG inputSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR hash, ULONG hashSize,
                                         PUCHAR signature, ULONG signatureSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE key) = 0;
  virtual NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length,
                                         ULONG flags) = 0;
  virtual NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE key, ULONG flags) = 0;
  virtual NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE exportKey, LPCWSTR blobType, PUCHAR output,
                                   ULONG outputSize, ULONG* resultSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptSetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR input, ULONG inputSize,
                                     ULONG flags) = 0;
  virtual NTSTATUS BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, PUCHAR keyObject,
                                              ULONG keyObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptDecrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv,
                                 ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptEncrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv,
                                 ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) = 0;
  virtual NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR input, ULONG inputSize,
                                  PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) = 0;
  virtual BOOL CryptStringToBinaryA(LPCSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize,
                                    DWORD* skipped, DWORD* formatFlags) = 0;
  virtual BOOL CryptStringToBinaryW(LPCWSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize,
                                    DWORD* skipped, DWORD* formatFlags) = 0;
  virtual BOOL CryptBinaryToStringA(const BYTE* binary, DWORD binarySize, DWORD flags, LPSTR string, DWORD* length) = 0;
  virtual BOOL CryptBinaryToStringW(const BYTE* binary, DWORD binarySize, DWORD flags, LPWSTR string,
                                    DWORD* length) = 0;
};

}  // namespace Corvessan::Orwe

#include "CWin32Api.h"

namespace Corvessan::Orwe {

BOOL CWin32Api::StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
  return ::StartServiceCtrlDispatcherW(serviceTable);
}

BOOL CWin32Api::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
  return ::StartServiceCtrlDispatcherA(serviceTable);
}

SERVICE_STATUS_HANDLE CWin32Api::RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                               LPVOID context) {
  return ::RegisterServiceCtrlHandlerExW(serviceName, handler, context);
}

SERVICE_STATUS_HANDLE CWin32Api::RegisterServiceCtrlHandlerExA(LPCSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                               LPVOID context) {
  return ::RegisterServiceCtrlHandlerExA(serviceName, handler, context);
}

BOOL CWin32Api::SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
  return ::SetServiceStatus(statusHandle, status);
}

HANDLE CWin32Api::CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  return ::CreateEventW(attributes, manualReset, initialState, name);
}

HANDLE CWin32Api::CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
  return ::CreateEventA(attributes, manualReset, initialState, name);
}

BOOL CWin32Api::SetEvent(HANDLE event) { return ::SetEvent(event); }

BOOL CWin32Api::CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

DWORD CWin32Api::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}

BOOL CWin32Api::CopyFileW(LPCWSTR existingFile, LPCWSTR newFile, BOOL failIfExists) {
  return ::CopyFileW(existingFile, newFile, failIfExists);
}

BOOL CWin32Api::CopyFileA(LPCSTR existingFile, LPCSTR newFile, BOOL failIfExists) {
  return ::CopyFileA(existingFile, newFile, failIfExists);
}

BOOL CWin32Api::MoveFileExA(LPCSTR existingFile, LPCSTR newFile, DWORD flags) {
  return ::MoveFileExA(existingFile, newFile, flags);
}

BOOL CWin32Api::MoveFileExW(LPCWSTR existingFile, LPCWSTR newFile, DWORD flags) {
  return ::MoveFileExW(existingFile, newFile, flags);
}

DWORD CWin32Api::GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  return ::GetModuleFileNameA(module, fileName, size);
}

DWORD CWin32Api::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  return ::GetModuleFileNameW(module, fileName, size);
}

// Not a forward: clears each byte through a volatile pointer, as the platform's
// SecureZeroMemory does, so the compiler cannot drop the writes.
PVOID CWin32Api::SecureZeroMemory(PVOID pointer, SIZE_T count) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(pointer);
  for (SIZE_T i = 0; i < count; ++i) bytes[i] = 0;
  return pointer;
}

void CWin32Api::CoTaskMemFree(LPVOID memory) { ::CoTaskMemFree(memory); }

HRESULT CWin32Api::SHGetKnownFolderPath(REFKNOWNFOLDERID folderId, DWORD flags, HANDLE token, PWSTR* path) {
  return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

NTSTATUS CWin32Api::BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR algorithmId,
                                                LPCWSTR implementation, ULONG flags) {
  return ::BCryptOpenAlgorithmProvider(algorithm, algorithmId, implementation, flags);
}

NTSTATUS CWin32Api::BCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG outputSize,
                                      ULONG* resultSize, ULONG flags) {
  return ::BCryptGetProperty(object, property, output, outputSize, resultSize, flags);
}

NTSTATUS CWin32Api::BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR hashObject,
                                     ULONG hashObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags) {
  return ::BCryptCreateHash(algorithm, hash, hashObject, hashObjectSize, secret, secretSize, flags);
}

NTSTATUS CWin32Api::BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputSize, ULONG flags) {
  return ::BCryptHashData(hash, input, inputSize, flags);
}

NTSTATUS CWin32Api::BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputSize, ULONG flags) {
  return ::BCryptFinishHash(hash, output, outputSize, flags);
}

NTSTATUS CWin32Api::BCryptDestroyHash(BCRYPT_HASH_HANDLE hash) { return ::BCryptDestroyHash(hash); }

NTSTATUS CWin32Api::BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags) {
  return ::BCryptCloseAlgorithmProvider(algorithm, flags);
}

NTSTATUS CWin32Api::BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType,
                                        BCRYPT_KEY_HANDLE* key, PUCHAR input, ULONG inputSize, ULONG flags) {
  return ::BCryptImportKeyPair(algorithm, importKey, blobType, key, input, inputSize, flags);
}

NTSTATUS CWin32Api::BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR hash, ULONG hashSize,
                                          PUCHAR signature, ULONG signatureSize, ULONG flags) {
  return ::BCryptVerifySignature(key, paddingInfo, hash, hashSize, signature, signatureSize, flags);
}

NTSTATUS CWin32Api::BCryptDestroyKey(BCRYPT_KEY_HANDLE key) { return ::BCryptDestroyKey(key); }

NTSTATUS CWin32Api::BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length,
                                          ULONG flags) {
  return ::BCryptGenerateKeyPair(algorithm, key, length, flags);
}

NTSTATUS CWin32Api::BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE key, ULONG flags) {
  return ::BCryptFinalizeKeyPair(key, flags);
}

NTSTATUS CWin32Api::BCryptExportKey(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE exportKey, LPCWSTR blobType, PUCHAR output,
                                    ULONG outputSize, ULONG* resultSize, ULONG flags) {
  return ::BCryptExportKey(key, exportKey, blobType, output, outputSize, resultSize, flags);
}

NTSTATUS CWin32Api::BCryptSetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR input, ULONG inputSize,
                                      ULONG flags) {
  return ::BCryptSetProperty(object, property, input, inputSize, flags);
}

NTSTATUS CWin32Api::BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, PUCHAR keyObject,
                                               ULONG keyObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags) {
  return ::BCryptGenerateSymmetricKey(algorithm, key, keyObject, keyObjectSize, secret, secretSize, flags);
}

NTSTATUS CWin32Api::BCryptDecrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv,
                                  ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) {
  return ::BCryptDecrypt(key, input, inputSize, paddingInfo, iv, ivSize, output, outputSize, resultSize, flags);
}

NTSTATUS CWin32Api::BCryptEncrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv,
                                  ULONG ivSize, PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) {
  return ::BCryptEncrypt(key, input, inputSize, paddingInfo, iv, ivSize, output, outputSize, resultSize, flags);
}

NTSTATUS CWin32Api::BCryptSignHash(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR input, ULONG inputSize,
                                   PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags) {
  return ::BCryptSignHash(key, paddingInfo, input, inputSize, output, outputSize, resultSize, flags);
}

BOOL CWin32Api::CryptStringToBinaryA(LPCSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize,
                                     DWORD* skipped, DWORD* formatFlags) {
  return ::CryptStringToBinaryA(string, length, flags, binary, binarySize, skipped, formatFlags);
}

BOOL CWin32Api::CryptStringToBinaryW(LPCWSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize,
                                     DWORD* skipped, DWORD* formatFlags) {
  return ::CryptStringToBinaryW(string, length, flags, binary, binarySize, skipped, formatFlags);
}

BOOL CWin32Api::CryptBinaryToStringA(const BYTE* binary, DWORD binarySize, DWORD flags, LPSTR string, DWORD* length) {
  return ::CryptBinaryToStringA(binary, binarySize, flags, string, length);
}

BOOL CWin32Api::CryptBinaryToStringW(const BYTE* binary, DWORD binarySize, DWORD flags, LPWSTR string, DWORD* length) {
  return ::CryptBinaryToStringW(binary, binarySize, flags, string, length);
}

constinit CWin32Api win32Api;

}  // namespace Corvessan::Orwe

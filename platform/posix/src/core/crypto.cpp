// Nothing in the system calls these; each fails as Windows fails a call it
// does not support.
#include <bcrypt.h>
#include <wincrypt.h>

namespace {
NTSTATUS Unsupported() { return STATUS_NOT_SUPPORTED; }
BOOL UnsupportedBool() {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
}  // namespace

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG) { return Unsupported(); }
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG) { return Unsupported(); }
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
  return Unsupported();
}
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) { return Unsupported(); }
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) { return Unsupported(); }
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE) { return Unsupported(); }
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE, ULONG) { return Unsupported(); }
NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, ULONG) {
  return Unsupported();
}
NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) { return Unsupported(); }
NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE) { return Unsupported(); }
NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE*, ULONG, ULONG) { return Unsupported(); }
NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE, ULONG) { return Unsupported(); }
NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG) {
  return Unsupported();
}
NTSTATUS BCryptSetProperty(BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG) { return Unsupported(); }
NTSTATUS BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
  return Unsupported();
}
NTSTATUS BCryptDecrypt(BCRYPT_KEY_HANDLE, PUCHAR, ULONG, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*, ULONG) {
  return Unsupported();
}
NTSTATUS BCryptEncrypt(BCRYPT_KEY_HANDLE, PUCHAR, ULONG, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*, ULONG) {
  return Unsupported();
}
NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*, ULONG) { return Unsupported(); }

BOOL CryptStringToBinaryA(LPCSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*) { return UnsupportedBool(); }
BOOL CryptStringToBinaryW(LPCWSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*) { return UnsupportedBool(); }
BOOL CryptBinaryToStringA(const BYTE*, DWORD, DWORD, LPSTR, DWORD*) { return UnsupportedBool(); }
BOOL CryptBinaryToStringW(const BYTE*, DWORD, DWORD, LPWSTR, DWORD*) { return UnsupportedBool(); }

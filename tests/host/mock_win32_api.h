// A GoogleMock stand-in for the whole platform call layer of the host.
#pragma once

#include <gmock/gmock.h>

#include "IWin32Api.h"

class MockWin32Api : public Corvessan::Orwe::IWin32Api {
 public:
  MOCK_METHOD(BOOL, StartServiceCtrlDispatcherW, (const SERVICE_TABLE_ENTRYW*), (override));
  MOCK_METHOD(BOOL, StartServiceCtrlDispatcherA, (const SERVICE_TABLE_ENTRYA*), (override));
  MOCK_METHOD(SERVICE_STATUS_HANDLE, RegisterServiceCtrlHandlerExW, (LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID),
              (override));
  MOCK_METHOD(SERVICE_STATUS_HANDLE, RegisterServiceCtrlHandlerExA, (LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID),
              (override));
  MOCK_METHOD(BOOL, SetServiceStatus, (SERVICE_STATUS_HANDLE, LPSERVICE_STATUS), (override));
  MOCK_METHOD(HANDLE, CreateEventW, (LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR), (override));
  MOCK_METHOD(HANDLE, CreateEventA, (LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR), (override));
  MOCK_METHOD(BOOL, SetEvent, (HANDLE), (override));
  MOCK_METHOD(BOOL, CloseHandle, (HANDLE), (override));
  MOCK_METHOD(DWORD, WaitForSingleObject, (HANDLE, DWORD), (override));
  MOCK_METHOD(BOOL, CopyFileW, (LPCWSTR, LPCWSTR, BOOL), (override));
  MOCK_METHOD(BOOL, CopyFileA, (LPCSTR, LPCSTR, BOOL), (override));
  MOCK_METHOD(BOOL, MoveFileExA, (LPCSTR, LPCSTR, DWORD), (override));
  MOCK_METHOD(BOOL, MoveFileExW, (LPCWSTR, LPCWSTR, DWORD), (override));
  MOCK_METHOD(DWORD, GetModuleFileNameA, (HMODULE, LPSTR, DWORD), (override));
  MOCK_METHOD(DWORD, GetModuleFileNameW, (HMODULE, LPWSTR, DWORD), (override));
  MOCK_METHOD(PVOID, SecureZeroMemory, (PVOID, SIZE_T), (override));
  MOCK_METHOD(void, CoTaskMemFree, (LPVOID), (override));
  MOCK_METHOD(HRESULT, SHGetKnownFolderPath, (REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*), (override));
  MOCK_METHOD(NTSTATUS, BCryptOpenAlgorithmProvider, (BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptGetProperty, (BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptCreateHash, (BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG),
              (override));
  MOCK_METHOD(NTSTATUS, BCryptHashData, (BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptFinishHash, (BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptDestroyHash, (BCRYPT_HASH_HANDLE), (override));
  MOCK_METHOD(NTSTATUS, BCryptCloseAlgorithmProvider, (BCRYPT_ALG_HANDLE, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptImportKeyPair,
              (BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptVerifySignature, (BCRYPT_KEY_HANDLE, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG),
              (override));
  MOCK_METHOD(NTSTATUS, BCryptDestroyKey, (BCRYPT_KEY_HANDLE), (override));
  MOCK_METHOD(NTSTATUS, BCryptGenerateKeyPair, (BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE*, ULONG, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptFinalizeKeyPair, (BCRYPT_KEY_HANDLE, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptExportKey, (BCRYPT_KEY_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG*, ULONG),
              (override));
  MOCK_METHOD(NTSTATUS, BCryptSetProperty, (BCRYPT_HANDLE, LPCWSTR, PUCHAR, ULONG, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptGenerateSymmetricKey,
              (BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptDecrypt,
              (BCRYPT_KEY_HANDLE, PUCHAR, ULONG, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptEncrypt,
              (BCRYPT_KEY_HANDLE, PUCHAR, ULONG, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*, ULONG), (override));
  MOCK_METHOD(NTSTATUS, BCryptSignHash, (BCRYPT_KEY_HANDLE, void*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG*, ULONG),
              (override));
  MOCK_METHOD(BOOL, CryptStringToBinaryA, (LPCSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*), (override));
  MOCK_METHOD(BOOL, CryptStringToBinaryW, (LPCWSTR, DWORD, DWORD, BYTE*, DWORD*, DWORD*, DWORD*), (override));
  MOCK_METHOD(BOOL, CryptBinaryToStringA, (const BYTE*, DWORD, DWORD, LPSTR, DWORD*), (override));
  MOCK_METHOD(BOOL, CryptBinaryToStringW, (const BYTE*, DWORD, DWORD, LPWSTR, DWORD*), (override));
};

// BCrypt and CryptString functions. Nothing in the system calls them; the
// stand-in answers each as Windows answers an unsupported call.
#pragma once

#include "tarn_win32/types.h"

#define CRYPT_STRING_BASE64 0x00000001
#define CRYPT_STRING_NOCRLF 0x40000000

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR algorithmId, LPCWSTR implementation,
                                     ULONG flags);
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG outputSize, ULONG* resultSize,
                           ULONG flags);
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE* hash, PUCHAR hashObject,
                          ULONG hashObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags);
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputSize, ULONG flags);
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputSize, ULONG flags);
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hash);
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);
NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType,
                             BCRYPT_KEY_HANDLE* key, PUCHAR input, ULONG inputSize, ULONG flags);
NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR hash, ULONG hashSize, PUCHAR signature,
                               ULONG signatureSize, ULONG flags);
NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE key);
NTSTATUS BCryptGenerateKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, ULONG length, ULONG flags);
NTSTATUS BCryptFinalizeKeyPair(BCRYPT_KEY_HANDLE key, ULONG flags);
NTSTATUS BCryptExportKey(BCRYPT_KEY_HANDLE key, BCRYPT_KEY_HANDLE exportKey, LPCWSTR blobType, PUCHAR output,
                         ULONG outputSize, ULONG* resultSize, ULONG flags);
NTSTATUS BCryptSetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR input, ULONG inputSize, ULONG flags);
NTSTATUS BCryptGenerateSymmetricKey(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE* key, PUCHAR keyObject,
                                    ULONG keyObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags);
NTSTATUS BCryptDecrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv, ULONG ivSize,
                       PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags);
NTSTATUS BCryptEncrypt(BCRYPT_KEY_HANDLE key, PUCHAR input, ULONG inputSize, void* paddingInfo, PUCHAR iv, ULONG ivSize,
                       PUCHAR output, ULONG outputSize, ULONG* resultSize, ULONG flags);
NTSTATUS BCryptSignHash(BCRYPT_KEY_HANDLE key, void* paddingInfo, PUCHAR input, ULONG inputSize, PUCHAR output,
                        ULONG outputSize, ULONG* resultSize, ULONG flags);

BOOL CryptStringToBinaryA(LPCSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize, DWORD* skipped,
                          DWORD* formatFlags);
BOOL CryptStringToBinaryW(LPCWSTR string, DWORD length, DWORD flags, BYTE* binary, DWORD* binarySize, DWORD* skipped,
                          DWORD* formatFlags);
BOOL CryptBinaryToStringA(const BYTE* binary, DWORD binarySize, DWORD flags, LPSTR string, DWORD* length);
BOOL CryptBinaryToStringW(const BYTE* binary, DWORD binarySize, DWORD flags, LPWSTR string, DWORD* length);

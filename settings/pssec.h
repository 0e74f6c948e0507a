// The administrator id and password the proxy logs on with, kept in the settings store: the id in
// plain text, the password as a 64-byte block enciphered with DES under a key made from the id and
// this computer's name.
//
// Owns the layout of a pair's key (the shared "ProxyUserInfo" key, or any other key holding the
// same two values) and the user key derivation. A pair is written and read whole (regwhole.h).
// Never writes the password or a key to the trace, never leaves a key schedule, key or plaintext
// block in memory after a call, and never stores a block under a key whose derivation failed. Never
// writes to stdout.
#pragma once

#include <cstddef>

#include "common/limits.h"
#include "settings/settingskeys.h"

// Results of the credential operations (the store's own codes travel in the trace).
enum PsResult : int {
    kPsOk = 0,         // stored, or both read
    kPsNotStored = 1,  // read: the stored values cannot be read; write: the store failed
    kPsNoMemory = -1,  // no memory for the user key or the key schedule; nothing done
    kPsTooLong = 2,    // write: id or password of 64 characters or more; nothing stored
};

// Reads the id (64 bytes) and deciphers the password (64 bytes) from the store. Returns 0 with both
// filled, 1 when they cannot be read, -1 when there is no memory (neither output then holds
// anything).
[[nodiscard]] int psReadPasswordFile(char id[kCredentialSize], char password[kCredentialSize]);
// Enciphers and stores `password` under `id` in place of the stored pair: the new pair whole, or
// the old one as it was. Returns 0, 1 when the store failed, 2 when either text has 64 characters
// or more, -1 when there is no memory.
[[nodiscard]] int psWritePasswordFile(const char* id, const char* password);
// Deletes the stored id and password; when there are none, traces that and changes nothing.
void psDeletePasswordFile();
// Replaces the administrator id and password under `keyPath` (the shared pair by default, or a
// web user's) as one change: either the new pair is stored, or the old one is left exactly as it
// was. Returns 0 when stored, else the non-zero result of the write (1 when the store failed).
[[nodiscard]] int psUpdatePasswordFile(const char* id, const char* password,
                                       const char* keyPath = kCredentialsKeyPath);

// The same three for the pair kept under `keyPath` below HKEY_LOCAL_MACHINE (the shared pair's is
// kCredentialsKeyPath), with the same results; psDeletePairAt returns 1 when a pair was deleted.
[[nodiscard]] int psReadPairAt(const char* keyPath, char id[kCredentialSize],
                               char password[kCredentialSize]);
[[nodiscard]] int psWritePairAt(const char* keyPath, const char* id, const char* password);
int psDeletePairAt(const char* keyPath);

// Makes the 8-byte user key from "<id>@<computer name>". Returns the result of desDeriveKey: 0,
// or -1 (then `key` is all zero).
[[nodiscard]] int psUserKey(unsigned char key[8], const char* id);
// Reads the "Id" value of the key `keyPath` into `id` and its "Password" block into `block` (64
// bytes each), both from one whole key. Returns 0 when both were read, -1 otherwise; an output
// whose value cannot be read is not written.
[[nodiscard]] int ReadPswdFromRegistry(const char* keyPath, char id[kCredentialSize],
                                       unsigned char block[kCredentialSize]);
// Replaces the key `keyPath` by one holding `id` and the enciphered `block` (64 bytes). Returns 0
// when it holds both, -1 otherwise (then the key is as it was).
[[nodiscard]] int WritePswdToRegistry(const char* keyPath, const char* id,
                                      const unsigned char block[kCredentialSize]);

// Test seams. The computer name: fills `name` (capacity bytes) and returns false when it cannot;
// null restores the system's name. The key derivation: null restores desDeriveKey.
using PsComputerName = bool (*)(char* name, size_t capacity);
void psSetComputerNameSource(PsComputerName source);
using PsKeyDerivation = int (*)(const unsigned char* text, int length, unsigned char out[8]);
void psSetKeyDerivation(PsKeyDerivation derive);

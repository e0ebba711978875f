// Owners of the platform's crypto handles (BCrypt): each closes what it
// opened, whatever happens after.
#pragma once

#include <windows.h>
#include <bcrypt.h>

namespace zel {

class TCryptAlgorithm {
public:
    explicit TCryptAlgorithm(const wchar_t* id) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h_, id, nullptr, 0))) h_ = nullptr;
    }
    ~TCryptAlgorithm() {
        if (h_) BCryptCloseAlgorithmProvider(h_, 0);
    }
    TCryptAlgorithm(const TCryptAlgorithm&) = delete;
    TCryptAlgorithm& operator=(const TCryptAlgorithm&) = delete;
    BCRYPT_ALG_HANDLE get() const { return h_; }

private:
    BCRYPT_ALG_HANDLE h_ = nullptr;
};

class TCryptKey {
public:
    TCryptKey() = default;
    ~TCryptKey() {
        if (h_) BCryptDestroyKey(h_);
    }
    TCryptKey(const TCryptKey&) = delete;
    TCryptKey& operator=(const TCryptKey&) = delete;
    BCRYPT_KEY_HANDLE get() const { return h_; }
    BCRYPT_KEY_HANDLE* receive() { return &h_; }

private:
    BCRYPT_KEY_HANDLE h_ = nullptr;
};

// A hash object of the algorithm; null (get()) when it could not be made.
class TCryptHash {
public:
    explicit TCryptHash(BCRYPT_ALG_HANDLE algorithm) {
        if (!algorithm || !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &h_, nullptr, 0, nullptr, 0, 0))) h_ = nullptr;
    }
    ~TCryptHash() {
        if (h_) BCryptDestroyHash(h_);
    }
    TCryptHash(const TCryptHash&) = delete;
    TCryptHash& operator=(const TCryptHash&) = delete;
    BCRYPT_HASH_HANDLE get() const { return h_; }

private:
    BCRYPT_HASH_HANDLE h_ = nullptr;
};

}  // namespace zel

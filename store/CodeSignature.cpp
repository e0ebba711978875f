#include "CodeSignature.h"

#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>

#include "Digest.h"
#include "base/Text.h"
#include "config/Trust.h"

namespace zel {

namespace {

// The verification's state, closed whatever happens after it.
class TTrustCheck {
public:
    TTrustCheck(HANDLE file, const std::wstring& path) : path_(path) {
        fileInfo_.cbStruct = sizeof fileInfo_;
        fileInfo_.pcwszFilePath = path_.c_str();
        fileInfo_.hFile = file;
        data_.cbStruct = sizeof data_;
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &fileInfo_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        // Nothing is fetched from the network for the check.
        data_.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        result_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
    ~TTrustCheck() {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
    }
    TTrustCheck(const TTrustCheck&) = delete;
    TTrustCheck& operator=(const TTrustCheck&) = delete;

    LONG Result() const { return result_; }
    // The certificate that signed the file; null when there is none.
    PCCERT_CONTEXT Signer() const {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        if (!provider) return nullptr;
        CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (!signer || signer->csCertChain == 0 || !signer->pasCertChain) return nullptr;
        return signer->pasCertChain[0].pCert;
    }

private:
    std::wstring path_;
    WINTRUST_FILE_INFO fileInfo_ = {};
    WINTRUST_DATA data_ = {};
    LONG result_ = 0;
};

std::string TrustErrorText(LONG result) {
    switch (static_cast<HRESULT>(result)) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN:
    case TRUST_E_PROVIDER_UNKNOWN:
        return "файл не подписан";
    case TRUST_E_BAD_DIGEST:
        return "файл изменён после подписания";
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
        return "цепочка сертификатов подписи не заверена доверенным центром";
    case CERT_E_EXPIRED:
        return "срок действия сертификата подписи истёк";
    default: {
        std::string text = Trim(SysErrorMessage(static_cast<DWORD>(result)));
        return Format("подпись не принята (%s, 0x%x)", {text, static_cast<unsigned>(result)});
    }
    }
}

std::string PublicKeyPin(PCCERT_CONTEXT cert) {
    DWORD size = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &cert->pCertInfo->SubjectPublicKeyInfo, nullptr,
                           &size) ||
        size == 0)
        return std::string();
    std::string der(size, '\0');
    if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &cert->pCertInfo->SubjectPublicKeyInfo,
                           reinterpret_cast<BYTE*>(&der[0]), &size))
        return std::string();
    der.resize(size);
    std::string digest = Sha256(der);
    return digest.empty() ? std::string() : HexText(digest);
}

}  // namespace

TLockedFile::TLockedFile(const std::string& path, bool forMove) : path_(path) {
    std::wstring wide = ToWide(path);
    h_.Reset(CreateFileW(wide.c_str(), GENERIC_READ | (forMove ? DELETE : 0), FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h_) error_ = GetLastError();
}

void TLockedFile::Close() { h_.Reset(); }

bool TLockedFile::MoveTo(const std::string& target) {
    std::wstring name = ToWide(target);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t), 0);
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::copy(name.begin(), name.end(), info->FileName);
    if (!SetFileInformationByHandle(h_.Get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) return false;
    path_ = target;
    return true;
}

std::string SignerPublisher(const TLockedFile& file, std::string& problem) {
    problem.clear();
    if (!file.IsOpen()) {
        problem = Format("файл не открывается: %s", {Trim(SysErrorMessage(file.Error()))});
        return std::string();
    }
    TTrustCheck check(file.Handle(), ToWide(file.Path()));
    if (check.Result() != ERROR_SUCCESS) {
        problem = TrustErrorText(check.Result());
        return std::string();
    }
    PCCERT_CONTEXT signer = check.Signer();
    std::string pin = signer ? PublicKeyPin(signer) : std::string();
    if (pin.empty()) problem = "сертификат подписи не удалось прочитать";
    return pin;
}

std::string ProgramSignatureProblem(const TLockedFile& file, const std::vector<std::string>& publishers) {
    std::string problem;
    std::string pin = SignerPublisher(file, problem);
    if (!problem.empty()) return problem;
    if (std::find(publishers.begin(), publishers.end(), pin) == publishers.end())
        return Format("файл подписан издателем, которому служба не доверяет (%s)", {pin});
    return std::string();
}

std::string TrustedProgramProblem(const TLockedFile& file) {
    TTrustState trust = CurrentTrust();
    if (!trust.PublishersRequired) return std::string();
    return ProgramSignatureProblem(file, trust.Publishers);
}

std::string TrustedProgramProblem(const std::string& path) {
    TTrustState trust = CurrentTrust();
    if (!trust.PublishersRequired) return std::string();
    TLockedFile file(path, false);
    return ProgramSignatureProblem(file, trust.Publishers);
}

}  // namespace zel

// The settings of one module job (priority, headers, retry, callback,
// proxy, credentials, HTTP flags) and what is read back from it (progress,
// error texts).
#include "BITS.h"

#include <bits1_5.h>
#include <bits2_0.h>
#include <bits2_5.h>
#include <wrl/client.h>

#include <cstdint>
#include <mutex>

#include "base/Log.h"
#include "base/TaskString.h"

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

// {54B50739-686F-45EB-9DFF-D6A9A0FAA9AF}
const IID IID_CopyJob2 = {0x54B50739, 0x686F, 0x45EB, {0x9D, 0xFF, 0xD6, 0xA9, 0xA0, 0xFA, 0xA9, 0xAF}};
// {F1BD1079-9F01-4BDC-8036-F09B70095066}
const IID IID_HttpOptions = {0xF1BD1079, 0x9F01, 0x4BDC, {0x80, 0x36, 0xF0, 0x9B, 0x70, 0x09, 0x50, 0x66}};

constexpr ULONG RetryDelaySeconds = 10;
constexpr ULONG NoProgressTimeoutSeconds = 3600;
constexpr DWORD NotifyFlags = BG_NOTIFY_JOB_TRANSFERRED | BG_NOTIFY_JOB_ERROR | BG_NOTIFY_JOB_MODIFICATION;
// The header ends in LF CR: the update servers expect it so.
const wchar_t* const JobHeaders = L"User-Agent: ZEL Update Service\n\r";

}  // namespace

std::string WithoutLineBreaks(const std::string& text) { return StringReplace(text, "\r\n", ""); }

bool ConfigureJob(IBackgroundCopyJob* job, IBackgroundCopyCallback* callback) {
    // Giving BITS the callback marshals it: one thread at a time does, since
    // Wine's COM failed an assertion in its stub manager after several
    // threads had marshalled the one callback object at the same time.
    static std::mutex handOver;
    if (FAILED(job->SetMinimumRetryDelay(RetryDelaySeconds)))
        WriteLog("Не удалось настроить параметр MinimumRetryDelay", LogDebug);
    if (FAILED(job->SetNoProgressTimeout(NoProgressTimeoutSeconds)))
        WriteLog("Не удалось настроить параметр NoProgressTimeout", LogDebug);
    HRESULT given;
    {
        std::lock_guard<std::mutex> lock(handOver);
        given = job->SetNotifyInterface(callback);
    }
    if (FAILED(given)) WriteLog("Не удалось настроить интерфейс обратного вызова", LogDebug);
    if (FAILED(job->SetNotifyFlags(NotifyFlags))) WriteLog("Не удалось настроить флаги обратного вызова", LogDebug);
    return true;
}

bool SetJobPriority(IBackgroundCopyJob* job) { return SUCCEEDED(job->SetPriority(BG_JOB_PRIORITY_FOREGROUND)); }

bool SetJobHeaders(IBackgroundCopyJob* job) {
    ComPtr<IBackgroundCopyJobHttpOptions> options;
    if (FAILED(job->QueryInterface(IID_HttpOptions, reinterpret_cast<void**>(options.GetAddressOf()))) || !options)
        return false;
    return SUCCEEDED(options->SetCustomHeaders(JobHeaders));
}

void SetJobProxy(IBackgroundCopyJob* job, const std::string& proxyList, const std::string& userName,
                 const std::string& password) {
    if (proxyList.empty()) {
        if (FAILED(job->SetProxySettings(BG_JOB_PROXY_USAGE_NO_PROXY, nullptr, nullptr)))
            WriteLog("Ошибка при настройке параметров proxy-сервера", LogError);
        return;
    }
    std::wstring list = ToWide(proxyList);
    if (FAILED(job->SetProxySettings(BG_JOB_PROXY_USAGE_OVERRIDE, list.c_str(), nullptr)))
        WriteLog("Ошибка при настройке параметров proxy-сервера", LogError);
    SetJobCredentials(job, BG_AUTH_TARGET_PROXY, userName, password);
}

void SetJobCredentials(IBackgroundCopyJob* job, BG_AUTH_TARGET target, const std::string& userName,
                       const std::string& password) {
    if (userName.empty()) return;
    ComPtr<IBackgroundCopyJob2> job2;
    if (FAILED(job->QueryInterface(IID_CopyJob2, reinterpret_cast<void**>(job2.GetAddressOf()))) || !job2) {
        WriteLog("Интерфейс IBackgroundCopyJob2 не поддерживается", LogError);
        return;
    }
    job2->RemoveCredentials(target, BG_AUTH_SCHEME_BASIC);
    std::wstring user = ToWide(userName);
    std::wstring pass = ToWide(password);
    BG_AUTH_CREDENTIALS credentials;
    credentials.Target = target;
    credentials.Scheme = BG_AUTH_SCHEME_BASIC;
    credentials.Credentials.Basic.UserName = const_cast<LPWSTR>(user.c_str());
    credentials.Credentials.Basic.Password = const_cast<LPWSTR>(pass.c_str());
    HRESULT hr = job2->SetCredentials(&credentials);
    SecureZeroMemory(&pass[0], pass.size() * sizeof(wchar_t));
    if (FAILED(hr)) {
        WriteLog("Ошибка при настройке параметров авторизации", LogError);
        WriteLogFmt("  Имя пользователя: %s", {LogSafeText(userName)}, LogDebug);
        WriteLogFmt("  Пароль:           %s", {std::string(password.size(), '*')}, LogDebug);
    }
}

bool SetJobSecurityFlags(IBackgroundCopyJob* job, DWORD flags) {
    if (flags == 0) return false;
    ComPtr<IBackgroundCopyJobHttpOptions> options;
    if (FAILED(job->QueryInterface(IID_HttpOptions, reinterpret_cast<void**>(options.GetAddressOf()))) || !options)
        return false;
    ULONG current = 0;
    if (FAILED(options->GetSecurityFlags(&current))) return false;
    WriteLogFmt("Выполняем настройку параметров HTTP (SetSecurityFlags: %x)", {flags}, LogTrace);
    return SUCCEEDED(options->SetSecurityFlags(flags | current));
}

int GetJobProgress(IBackgroundCopyJob* job) {
    BG_JOB_PROGRESS progress;
    if (!job || FAILED(job->GetProgress(&progress))) return 0;
    int64_t transferred = static_cast<int64_t>(progress.BytesTransferred);
    // The total stays unknown until the sizes of all files are known.
    if (transferred <= 0 || progress.BytesTotal == BG_SIZE_UNKNOWN || progress.BytesTotal == 0) return 0;
    if (progress.BytesTransferred >= progress.BytesTotal) return 100;
    int percent = static_cast<int>(static_cast<double>(progress.BytesTransferred) /
                                   static_cast<double>(progress.BytesTotal) * 100.0);
    return percent < 0 ? 0 : (percent > 100 ? 100 : percent);
}

bool GetJobErrorTexts(IBackgroundCopyJob* job, std::string& context, std::string& error) {
    ComPtr<IBackgroundCopyError> err;
    if (!job || FAILED(job->GetError(&err)) || !err) return false;
    TaskString contextText, errorText;
    if (FAILED(err->GetErrorContextDescription(0, &contextText))) return false;
    if (FAILED(err->GetErrorDescription(0, &errorText))) return false;
    context = WithoutLineBreaks(contextText.Ansi());
    error = WithoutLineBreaks(errorText.Ansi());
    return true;
}

bool GetBITSErrorText(IBackgroundCopyManager* manager, HRESULT hr, std::string& text) {
    if (hr == 0 || !manager) return false;
    TaskString description;
    if (FAILED(manager->GetErrorDescription(hr, 0, &description))) return false;
    text = WithoutLineBreaks(description.Ansi());
    return true;
}

}  // namespace zel

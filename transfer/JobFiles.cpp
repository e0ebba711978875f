#include "BITS.h"

#include <wrl/client.h>

#include "base/BStr.h"
#include "base/Log.h"
#include "base/TaskString.h"
#include "base/Versions.h"
#include "store/CodeSignature.h"
#include "store/Digest.h"
#include "store/ModuleList.h"
#include "store/UpdateEvents.h"

// Settling the files of a job BITS has transferred: each checked against
// its digest and, with pinned publishers, its signature; what passes stays
// in the store and the update is announced.

using Microsoft::WRL::ComPtr;

namespace zel {

namespace {

// Tells every client that an update file of the module was not taken.
void ReportRejectedFile(IUpdateServerNotify* notify, const std::string& module, const std::string& text) {
    if (notify) notify->FireException(BStr(module), BStr(std::string("Служба обновления")), BStr(text), 0);
}

}  // namespace

bool CompleteTransferredJob(IBackgroundCopyJob* job, const std::string& module, IUpdateServerNotify* notify) {
    if (!job || FAILED(job->Complete())) return false;
    TCompletedFiles files = SettleJobFiles(job, module, notify);
    if (!files.Listed) return true;
    TVersion newest = 0;
    WriteLogFmt("Для обновления модуля %s загружены следующие файлы", {module}, LogDebug);
    for (const std::string& path : files.Paths) {
        TVersion version = 0;
        if (GetFileVersion(path, version)) {
            WriteLogFmt("  %s (версия %s)", {path, VersionToStr(version)}, LogDebug);
            newest = MaxVersion(newest, version);
        } else {
            WriteLogFmt("Файл обновления модуля %s не содержит cведений о версии", {module}, LogError);
            ReportRejectedFile(notify, module, "Файл обновления не содержит сведений о версии");
        }
    }
    // An update with a rejected file is not announced; the next check
    // fetches what is missing.
    if (newest > 0 && !files.Rejected) {
        std::string text = VersionToStr(newest);
        WriteLogFmt("Загружено обновление модуля %s версии %s", {module, text}, LogInfo);
        if (notify) notify->FireDownload(BStr(module), BStr(text));
    }
    return true;
}

TCompletedFiles SettleJobFiles(IBackgroundCopyJob* job, const std::string& module, IUpdateServerNotify* notify) {
    TCompletedFiles out;
    ComPtr<IEnumBackgroundCopyFiles> files;
    if (!job || FAILED(job->EnumFiles(&files)) || !files) return out;
    out.Listed = true;
    auto shown = [](const std::string& digest) { return digest.empty() ? std::string("(нет)") : digest; };
    for (;;) {
        ComPtr<IBackgroundCopyFile> file;
        if (files->Next(1, &file, nullptr) != S_OK || !file) break;
        TaskString local;
        if (FAILED(file->GetLocalName(&local))) continue;
        TDownloadCheck check = SettleDownload(local.Ansi());
        switch (check.Result) {
        case TDownloadCheck::Plain:
        case TDownloadCheck::Verified: {
            // With pinned publishers only a program that one of them signed
            // stays in the store.
            std::string problem = TrustedProgramProblem(check.Path);
            if (problem.empty()) {
                out.Paths.push_back(check.Path);
                break;
            }
            out.Rejected = true;
            RemoveFile(check.Path);
            WriteLogFmt("Подпись файла %s модуля %s не принята: %s", {check.Path, module, problem}, LogError);
            ReportRejectedFile(notify, module,
                               Format("Файл обновления %s не подписан доверенным издателем и удалён",
                                      {ExtractFileName(check.Path)}));
            break;
        }
        case TDownloadCheck::Rejected:
            out.Rejected = true;
            WriteLogFmt("Контрольная сумма файла %s модуля %s не совпадает: ожидалась SHA-256 %s, получена %s",
                        {check.Path, module, shown(check.Expected), shown(check.Actual)}, LogError);
            ReportRejectedFile(notify, module,
                               Format("Файл обновления %s не совпадает с указанным сервером и удалён",
                                      {ExtractFileName(check.Path)}));
            break;
        case TDownloadCheck::NotPlaced:
            out.Rejected = true;
            WriteLogFmt("Не удалось поместить проверенный файл %s: %s", {check.Path, check.Error}, LogError);
            break;
        }
    }
    return out;
}

}  // namespace zel

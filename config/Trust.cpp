#include "Trust.h"

#include <mutex>

#include "ExtConfig.h"
#include "TrustText.h"
#include "base/Log.h"
#include "base/Text.h"

namespace zel {

namespace {

// Read by the scheduler, the BITS callback, the installer threads and the
// stop; written by the scheduler's configuration reader.
std::mutex TrustLock;
TTrustState Trust;
bool Loaded = false;
std::string LastKeysLine;
std::string LastPublishersLine;

void LogInvalid(const TTrustList& list, const char* setting) {
    for (const std::string& entry : list.Invalid)
        WriteLogFmt("Неверное значение в настройке %s: %s", {setting, ShortString(entry)}, LogError);
}

}  // namespace

void SetTrustConfig(const std::string& keysLine, const std::string& publishersLine) {
    TTrustList keys = ParseUpdateKeys(BuiltInUpdateKeys());
    TTrustList configKeys = ParseUpdateKeys(keysLine);
    MergeTrustList(keys, configKeys);
    TTrustList publishers = ParsePublishers(BuiltInPublishers());
    TTrustList configPublishers = ParsePublishers(publishersLine);
    MergeTrustList(publishers, configPublishers);

    bool first;
    bool keysChanged;
    bool publishersChanged;
    {
        std::lock_guard<std::mutex> lock(TrustLock);
        first = !Loaded;
        keysChanged = first || keysLine != LastKeysLine;
        publishersChanged = first || publishersLine != LastPublishersLine;
        Loaded = true;
        LastKeysLine = keysLine;
        LastPublishersLine = publishersLine;
        Trust.Keys = keys.Items;
        Trust.Publishers = publishers.Items;
        Trust.KeysRequired = keys.Given;
        Trust.PublishersRequired = publishers.Given;
    }
    if (keysChanged) {
        LogInvalid(keys, "UpdateKeys");
        if (keys.Given && keys.Items.empty())
            WriteLog("Ни один ключ подписи из настройки UpdateKeys не годится: ответы сервера обновлений не "
                     "принимаются",
                     LogError);
        else if (!first)
            WriteLogFmt("Изменились ключи подписи ответов сервера обновлений: %d", {keys.Items.size()}, LogDebug);
    }
    if (publishersChanged) {
        LogInvalid(publishers, "Publishers");
        if (publishers.Given && publishers.Items.empty())
            WriteLog("Ни один издатель из настройки Publishers не годится: программы обновлений не запускаются",
                     LogError);
        else if (!first)
            WriteLogFmt("Изменились издатели программ обновлений: %d", {publishers.Items.size()}, LogDebug);
    }
}

void LogTrustAtStart() {
    TTrustState trust = CurrentTrust();
    if (!trust.KeysRequired)
        WriteLog("Ключи подписи не заданы (UpdateKeys): ответы сервера обновлений не проверяются", LogWarning);
    if (!trust.PublishersRequired)
        WriteLog("Издатели программ не заданы (Publishers): подписи программ обновлений не проверяются",
                 LogWarning);
}

TTrustState CurrentTrust() {
    {
        std::lock_guard<std::mutex> lock(TrustLock);
        if (Loaded) return Trust;
    }
    bool read = ReadTrustConfig();
    std::lock_guard<std::mutex> lock(TrustLock);
    if (Loaded) return Trust;
    // Only what the program carries; a file that exists but cannot be read
    // may pin keys or publishers, so then nothing is taken unverified.
    TTrustState built;
    TTrustList keys = ParseUpdateKeys(BuiltInUpdateKeys());
    TTrustList publishers = ParsePublishers(BuiltInPublishers());
    built.Keys = keys.Items;
    built.Publishers = publishers.Items;
    built.KeysRequired = keys.Given || !read;
    built.PublishersRequired = publishers.Given || !read;
    return built;
}

}  // namespace zel

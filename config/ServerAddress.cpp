#include "ServerAddress.h"

#include "base/Log.h"
#include "base/Text.h"

namespace zel {

const char* const DefaultServerURL = "http://update.quillon.ru/zel";
std::string ServerURL = DefaultServerURL;
std::string RequestMethod = "POST";

void SetServerURL(const std::string& url) {
    std::string value = url.empty() ? std::string(DefaultServerURL) : url;
    if (value == ServerURL) return;
    WriteLogFmt("Изменился адрес сервера ЗЕЛ: %s", {value}, LogDebug);
    ServerURL = value;
}

void SetRequestMethod(const std::string& method) {
    std::string value = (method == "GET" || method == "POST") ? method : std::string("POST");
    if (value == RequestMethod) return;
    WriteLogFmt("Изменился метод запросов к серверу ЗЕЛ: %s", {value}, LogDebug);
    RequestMethod = value;
}

}  // namespace zel

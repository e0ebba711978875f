#include "Requests.h"
namespace zel {
const char* const DefaultServerURL = "http://update.quillon.local/zel";
std::string ServerURL = DefaultServerURL;
std::string RequestMethod = "POST";
void SetServerURL(const std::string&) {}
void SetRequestMethod(const std::string&) {}
std::string BuildRequestText(TInfoQueue&) { return "{}"; }
bool ParseModuleInfoList(const std::string&, TRemoteModuleInfoList& list) { list.Clear(); return false; }
bool RequestModuleInfo(TInfoQueue&, TRemoteModuleInfoList&) { return false; }
}  // namespace zel

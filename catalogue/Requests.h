// The request to the update server and the reading of its answer.
#pragma once

#include <string>
#include <vector>

#include "Answer.h"
#include "HTTP.h"
#include "RemoteInfo.h"
#include "config/ServerAddress.h"

namespace zel {

// One module of a request, as the scheduler's queue held it.
struct TModuleRequest {
    std::string Name;
    std::string Version;
    std::string Installed;  // installed version text
};
using TModuleRequests = std::vector<TModuleRequest>;

// The compact JSON text of the request for the modules, in their order:
// {"name":{"MODULE_VERSION":"...","CURRENT_VERSION":"..."},...},
// UTF-8, "/" written as "\/".
std::string BuildRequestText(const TModuleRequests& modules);
// The GET address for the request text (PercentEncode'd), before EscapeUrl.
std::string GetRequestAddress(const std::string& url, const std::string& json);
// One exchange by RequestMethod; the answer text.
std::string SendRequest(const std::string& address, const std::string& json, THttpHeaders* headers = nullptr);
// One exchange for all the modules; raises EHTTPException when the
// transport fails, Exception when the answer is refused: with trusted keys,
// one that no trusted key signed for this request and a fresh nonce.
bool RequestModuleInfo(const TModuleRequests& modules, TRemoteModuleInfoList& list);

}  // namespace zel

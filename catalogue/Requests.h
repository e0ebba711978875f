// The request to the update server and the reading of its answer.
#pragma once

#include <string>

#include "Answer.h"
#include "HTTP.h"
#include "RemoteInfo.h"
#include "download/InfoQueue.h"

namespace zel {

extern const char* const DefaultServerURL;
extern std::string ServerURL;      // read and written on the scheduler thread
extern std::string RequestMethod;  // "GET" or "POST"

// Empty text selects the default address; logs a real change.
void SetServerURL(const std::string& url);
// Anything but exactly "GET" or "POST" becomes "POST"; logs a real change.
void SetRequestMethod(const std::string& method);

// The compact JSON text of the request for the queued modules (emptying the
// queue): {"name":{"MODULE_VERSION":"...","CURRENT_VERSION":"..."},...},
// UTF-8, "/" written as "\/".
std::string BuildRequestText(TInfoQueue& queue);
// The GET address for the request text (PercentEncode'd), before EscapeUrl.
std::string GetRequestAddress(const std::string& url, const std::string& json);
// One exchange by RequestMethod; the answer text.
std::string SendRequest(const std::string& address, const std::string& json, THttpHeaders* headers = nullptr);
// One exchange for all queued modules; raises EHTTPException when the
// transport fails, Exception when the answer is refused: with trusted keys,
// one that no trusted key signed for this request and a fresh nonce.
bool RequestModuleInfo(TInfoQueue& queue, TRemoteModuleInfoList& list);

}  // namespace zel

// One WinHTTP exchange with the update server, bounded in time: it runs on
// a worker thread of its own, and the caller waits for it at most the
// exchange's deadline (HTTP.h).
#pragma once

#include <string>

#include "HTTP.h"

namespace zel {

// Sends the request (body: null for none) and returns the whole answer
// body; a status other than 2xx, a transport failure, an answer beyond
// MaxAnswerSize or one not complete within ExchangeDeadline raise
// EHTTPException. The address is the request address with its blanks and
// ";" already escaped.
std::string BoundedExchange(const std::string& address, const wchar_t* verb, const std::string* body,
                            THttpHeaders* headers);

}  // namespace zel

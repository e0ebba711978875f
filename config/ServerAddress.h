// Where the update server is and how it is asked: set from ".config" and
// the group policy, read by the catalogue's requests.
#pragma once

#include <string>

namespace zel {

extern const char* const DefaultServerURL;
extern std::string ServerURL;      // read and written on the scheduler thread
extern std::string RequestMethod;  // "GET" or "POST"

// Empty text selects the default address; logs a real change.
void SetServerURL(const std::string& url);
// Anything but exactly "GET" or "POST" becomes "POST"; logs a real change.
void SetRequestMethod(const std::string& method);

}  // namespace zel

// How many modules the service keeps: every module is a folder of the store
// and a BITS job of the LocalSystem account, and it is asked for at every
// check, so neither all clients together nor one account may register
// modules without end. The scheduler, which makes the jobs, publishes what
// it registered; a client's Add reserves its module until the next
// publication, so that the limit holds for the registrations still queued.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace zel {

constexpr size_t MaxModules = 2000;
constexpr size_t MaxModulesPerUser = 1000;

// The registered modules (name, owner's SID; the service's own module is
// not counted), as the scheduler's jobs show them now. Reservations of the
// modules that are registered now, or that did not get a job, end.
void PublishRegisteredModules(const std::vector<std::pair<std::string, std::string>>& modules);

// For a new registration of `module` by the account `owner` (empty: not
// known): S_OK when the module is registered or reserved already or when
// the limits leave room (the module is then reserved); E_OUTOFMEMORY with
// one LogWarning line otherwise.
HRESULT ReserveModule(const std::string& module, const std::string& owner);

// The same rule where the job is made, against the modules registered
// before this one (name, owner). False (and the log line) past a limit.
bool ModuleFitsLimits(const std::string& module, const std::string& owner,
                      const std::vector<std::pair<std::string, std::string>>& registered);

// For tests: limits other than the constants (0 restores the constants).
void SetModuleLimitsForTest(size_t all, size_t perUser);

}  // namespace zel

#include "RemoteInfo.h"
namespace zel {
TRemoteModuleInfo& TRemoteModuleInfoList::Add() { items_.push_back(std::make_unique<TRemoteModuleInfo>()); return *items_.back(); }
void AddFileSpec(TRemoteModuleInfo&, const std::string&) {}
TRemoteModuleInfo* FindModuleInfo(TRemoteModuleInfoList&, const std::wstring&) { return nullptr; }
void LogModuleInfo(const TRemoteModuleInfo&) {}
void LogModuleInfoList(const TRemoteModuleInfoList&) {}
}  // namespace zel

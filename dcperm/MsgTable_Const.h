// Numbers of the messages in dcperm's message table (MsgTable.mc).
#pragma once

namespace dcperm {

constexpr unsigned MSG_INVALID_LINE_FORMAT = 2;
constexpr unsigned MSG_UNKNOWN_COMMAND = 3;
constexpr unsigned MSG_APPID_NOT_FOUND = 4;
constexpr unsigned MSG_INVALID_APPID = 5;
constexpr unsigned MSG_INVALID_AUTHLEVEL = 6;
constexpr unsigned MSG_INVALID_PERM_TYPE = 8;
constexpr unsigned MSG_NO_ACCOUNT_NAME = 10;
constexpr unsigned MSG_INVALID_RIGHTS = 11;
constexpr unsigned MSG_UNKNOWN_ALIAS = 12;
constexpr unsigned MSG_INVALID_CMDLINE = 14;
constexpr unsigned MSG_UNKNOWN_SWITCH = 15;
constexpr unsigned MSG_SCRIPT_NOT_FOUND = 16;
constexpr unsigned MSG_CANT_OPEN_SCRIPT = 17;
constexpr unsigned MSG_NO_LOG_NAME = 18;
constexpr unsigned MSG_CANT_OPEN_LOG = 19;
constexpr unsigned MSG_EXECUTING_BREAKED = 20;
constexpr unsigned MSG_ANALYSE_SCRIPT = 21;
constexpr unsigned MSG_OK = 22;
constexpr unsigned MSG_FAIL = 23;
constexpr unsigned MSG_PROCESS = 24;
constexpr unsigned MSG_EXECUTE_SCRIPT = 25;
constexpr unsigned MSG_EXECUTING_FINISHED = 26;
constexpr unsigned MSG_FATAL_ERROR = 27;
constexpr unsigned MSG_UNKNOWN_USER = 28;
constexpr unsigned MSG_DEFAULTS_REPEATED = 29;
constexpr unsigned MSG_INVALID_IMPERSLEVEL = 30;
constexpr unsigned MSG_COMMAND_NOT_ALLOWED = 31;
constexpr unsigned MSG_DEFAULT_SETTINGS = 32;
constexpr unsigned MSG_SCRIPT_ERROR = 100;
constexpr unsigned MSG_REGISTRY_ERROR = 101;
constexpr unsigned MSG_SYSTEM_ERROR = 102;

}  // namespace dcperm

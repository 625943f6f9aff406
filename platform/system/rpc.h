// The RPC run-time's unique identifiers: key container names are made from them.
#pragma once

#include <string>

#include "platform/system/types.h"

using UUID = GUID;
using RPC_STATUS = LONG;
using RPC_CSTR = unsigned char*;

constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
constexpr RPC_STATUS RPC_S_UUID_NO_ADDRESS = 1739;

// A new random identifier (version 4, variant 10; RFC 4122 section 4.4). RPC_S_OK, or
// RPC_S_UUID_NO_ADDRESS when no random bytes can be had (the identifier is then zero).
RPC_STATUS UuidCreate(UUID* Uuid);
// The identifier as 36 lower-case characters, groups of 8-4-4-4-12 hex digits, in a
// new string the caller frees with RpcStringFreeA. RPC_S_OUT_OF_MEMORY or
// RPC_S_INVALID_ARG (null arguments) with *StringUuid null.
RPC_STATUS UuidToStringA(const UUID* Uuid, RPC_CSTR* StringUuid);
// Frees a string of UuidToStringA and sets *String to null.
RPC_STATUS RpcStringFreeA(RPC_CSTR* String);

// The text of a new identifier in upper case (36 characters, 8-4-4-4-12), as key
// containers are named. RPC_S_OK, or the status of the failing call with `text` empty.
RPC_STATUS newUpperCaseUuidText(std::string& text);

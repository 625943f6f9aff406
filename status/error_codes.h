// The ErrorCode numbers the control records. Pages and servers compare these numbers,
// so they never change.
#pragma once

#include "status/error_pair.h"

namespace err {
constexpr ErrorCode kSuccess = 0;
constexpr ErrorCode kCreateDirectory = 1001;
constexpr ErrorCode kFileRead = 1002;
constexpr ErrorCode kFileWrite = 1003;
constexpr ErrorCode kUndefined1102 = 1102;  // recorded without a table row
constexpr ErrorCode kUndefined1103 = 1103;  // recorded without a table row
constexpr ErrorCode kCardPinLocked = 3204;
constexpr ErrorCode kCardPinWrong = 3206;
constexpr ErrorCode kGeneral = 5001;
constexpr ErrorCode kAllocation = 5002;
constexpr ErrorCode kOutOfMemory = 5003;
constexpr ErrorCode kNotSupported = 5004;
constexpr ErrorCode kBadParameter = 5005;
constexpr ErrorCode kBadHandle = 5006;
constexpr ErrorCode kBase64 = 5008;
constexpr ErrorCode kCertNotFound = 5010;
constexpr ErrorCode kCertExpired = 5011;
constexpr ErrorCode kCertNotYetValid = 5012;
constexpr ErrorCode kCertUsage = 5017;
constexpr ErrorCode kDigest = 5035;
constexpr ErrorCode kCertFormat = 5040;
constexpr ErrorCode kCspName = 5046;
constexpr ErrorCode kNoKey = 5060;
constexpr ErrorCode kSignFailed = 5061;
constexpr ErrorCode kEncryptFailed = 5063;
constexpr ErrorCode kNoSigner = 5067;
constexpr ErrorCode kCancelled = 5070;
constexpr ErrorCode kOpenMyStore = 5201;
constexpr ErrorCode kNoChain = 5202;
constexpr ErrorCode kNoCsp = 5203;
constexpr ErrorCode kNoPrivateKey = 5204;
constexpr ErrorCode kKeyNotExportable = 5205;
constexpr ErrorCode kMyStoreDenied = 5206;
constexpr ErrorCode kPkcs12Format = 5207;
constexpr ErrorCode kPkcs12Password = 5208;
constexpr ErrorCode kPasswordMismatch = 5209;
constexpr ErrorCode kPfxStoreDenied = 5210;
constexpr ErrorCode kOpenMemoryStore = 5226;
constexpr ErrorCode kKeyLength = 5301;
constexpr ErrorCode kKeyGeneration = 5302;
constexpr ErrorCode kExchangeFileRead = 5401;
constexpr ErrorCode kExchangeFileWrite = 5402;
constexpr ErrorCode kFileNotFound = 5902;
constexpr ErrorCode kAccessDenied = 5906;
}  // namespace err

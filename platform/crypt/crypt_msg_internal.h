// The message objects behind HCRYPTMSG handles, shared by the encoder (crypt_msg.cpp)
// and the decoder (crypt_msg_decode.cpp).
#pragma once

#include <memory>
#include <mutex>

#include "platform/crypt/wincrypt.h"
#include "platform/crypt/wincrypt_msg.h"

namespace crypt_msg {

class Message {
  public:
    virtual ~Message() = default;
    virtual BOOL update(const BYTE* data, DWORD size, bool final) = 0;
    virtual BOOL getParam(DWORD type, DWORD index, void* pvData, DWORD* pcbData) = 0;
    std::mutex mutex;  // one call at a time on a message
};
using MessagePtr = std::shared_ptr<Message>;

// A decoder for messages of `expectedType` (CMSG_DATA, CMSG_SIGNED, or 0 for either).
// Throws std::bad_alloc like make_shared.
MessagePtr newDecoder(DWORD expectedType);

}  // namespace crypt_msg

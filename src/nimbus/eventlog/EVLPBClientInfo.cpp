#include "nimbus/eventlog/EVLPBClientInfo.h"

#include "eventlog.pb.h"
#include "nimbus/eventlog/EVLPBIosClientInfo.h"

namespace wharf {

namespace {

const char kEVLPBClientInfoName[] = "ClientInfo";
const uint32_t kEVLPBClientInfoFlags[] = {0x42, 0x2002, 0x2002, 0x4002};
const pb_size_t kEVLPBClientInfoTags[] = {1, 6, 7, 4};
const char* const kEVLPBClientInfoFieldNames[] = {"client_type", "field_6", "field_7", "ios_client_info"};
const NANOMessageDescriptor* const kEVLPBClientInfoSubMessages[] = {nullptr, nullptr, nullptr,
                                                                    &EVLPBIosClientInfoDescriptor};

}  // namespace

const NANOMessageDescriptor EVLPBClientInfoDescriptor = {kEVLPBClientInfoName,
                                                         "EVLPBClientInfo",
                                                         4,
                                                         kEVLPBClientInfoFlags,
                                                         kEVLPBClientInfoTags,
                                                         kEVLPBClientInfoFieldNames,
                                                         evlpb_ClientInfo_fields,
                                                         sizeof(evlpb_ClientInfo),
                                                         kEVLPBClientInfoSubMessages,
                                                         NANO_MESSAGE_FUNCTIONS(EVLPBClientInfoDescriptor)};

}  // namespace wharf

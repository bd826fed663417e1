#include "nimbus/eventlog/EVLPBIosClientInfo.h"

#include "eventlog.pb.h"

namespace wharf {

namespace {

const char kEVLPBIosClientInfoName[] = "IosClientInfo";
const uint32_t kEVLPBIosClientInfoFlags[] = {0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002};
const pb_size_t kEVLPBIosClientInfoTags[] = {1, 2, 3, 4, 5, 6, 7, 8};
const char* const kEVLPBIosClientInfoFieldNames[] = {
    "field_1", "install_identifier", "field_3", "system_version", "application_build", "field_6", "field_7", "field_8"};
const NANOMessageDescriptor* const kEVLPBIosClientInfoSubMessages[] = {nullptr, nullptr, nullptr, nullptr,
                                                                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

const NANOMessageDescriptor EVLPBIosClientInfoDescriptor = {kEVLPBIosClientInfoName,
                                                            "EVLPBIosClientInfo",
                                                            8,
                                                            kEVLPBIosClientInfoFlags,
                                                            kEVLPBIosClientInfoTags,
                                                            kEVLPBIosClientInfoFieldNames,
                                                            evlpb_IosClientInfo_fields,
                                                            sizeof(evlpb_IosClientInfo),
                                                            kEVLPBIosClientInfoSubMessages,
                                                            NANO_MESSAGE_FUNCTIONS(EVLPBIosClientInfoDescriptor)};

}  // namespace wharf

#include "nimbus/eventlog/NBPBErrorInfo.h"

#include "diagnostics.pb.h"

namespace wharf {

namespace {

const char kNBPBErrorInfoName[] = "ErrorInfo";
const uint32_t kNBPBErrorInfoFlags[] = {0x22, 0x82, 0x2002};
const pb_size_t kNBPBErrorInfoTags[] = {1, 2, 3};
const char* const kNBPBErrorInfoFieldNames[] = {"field_1", "error_code", "error_domain"};
const NANOMessageDescriptor* const kNBPBErrorInfoSubMessages[] = {nullptr, nullptr, nullptr};

}  // namespace

const NANOMessageDescriptor NBPBErrorInfoDescriptor = {kNBPBErrorInfoName,
                                                       "NBPBErrorInfo",
                                                       3,
                                                       kNBPBErrorInfoFlags,
                                                       kNBPBErrorInfoTags,
                                                       kNBPBErrorInfoFieldNames,
                                                       nbpb_ErrorInfo_fields,
                                                       sizeof(nbpb_ErrorInfo),
                                                       kNBPBErrorInfoSubMessages,
                                                       NANO_MESSAGE_FUNCTIONS(NBPBErrorInfoDescriptor)};

}  // namespace wharf

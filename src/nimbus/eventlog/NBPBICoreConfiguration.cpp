#include "nimbus/eventlog/NBPBICoreConfiguration.h"

#include "diagnostics.pb.h"
#include "nimbus/eventlog/NBPBErrorInfo.h"

namespace wharf {

namespace {

const char kNBPBICoreConfigurationName[] = "ICoreConfiguration";
const uint32_t kNBPBICoreConfigurationFlags[] = {
    0x42,   0x42,   0x2002, 0x2002, 0x2002, 0x202,  0x42,   0x2002, 0x48, 0x48, 0x42, 0x4002, 0x4008, 0x2002,
    0x2002, 0x2002, 0x202,  0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x22, 0x82, 0x22, 0x82,   0x2002, 0x22};
const pb_size_t kNBPBICoreConfigurationTags[] = {16, 1,  2,  18, 19, 3,  4,  5,  6,  7,  20, 15, 17, 9,
                                                 22, 10, 11, 12, 13, 23, 24, 14, 25, 21, 26, 27, 28, 29};
const char* const kNBPBICoreConfigurationFieldNames[] = {"field_16",
                                                         "configuration_type",
                                                         "field_2",
                                                         "library_version_id",
                                                         "sdk_version",
                                                         "field_3",
                                                         "field_4",
                                                         "field_5",
                                                         "sdk_service_enabled",
                                                         "sdk_service_installed",
                                                         "sdk_name",
                                                         "error_info",
                                                         "subspec_error_info",
                                                         "device_model",
                                                         "system_version",
                                                         "rovude_app_id",
                                                         "field_11",
                                                         "bundle_id",
                                                         "field_13",
                                                         "field_23",
                                                         "minimum_os_version",
                                                         "install_string",
                                                         "using_options_from_default_plist",
                                                         "app_count",
                                                         "from_app_store",
                                                         "linked_framework_count",
                                                         "xcode_sdk_build",
                                                         "field_29"};
const NANOMessageDescriptor* const kNBPBICoreConfigurationSubMessages[] = {nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           &NBPBErrorInfoDescriptor,
                                                                           &NBPBErrorInfoDescriptor,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr,
                                                                           nullptr};

}  // namespace

const NANOMessageDescriptor NBPBICoreConfigurationDescriptor = {
    kNBPBICoreConfigurationName,
    "NBPBICoreConfiguration",
    28,
    kNBPBICoreConfigurationFlags,
    kNBPBICoreConfigurationTags,
    kNBPBICoreConfigurationFieldNames,
    nbpb_ICoreConfiguration_fields,
    sizeof(nbpb_ICoreConfiguration),
    kNBPBICoreConfigurationSubMessages,
    NANO_MESSAGE_FUNCTIONS(NBPBICoreConfigurationDescriptor)};

}  // namespace wharf

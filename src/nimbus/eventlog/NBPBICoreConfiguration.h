#pragma once
// NBPBICoreConfiguration: the diagnostics record of a configuration event. Slots are indexed by the constants below.
#include "nimbus/nano/NANOMessageGlue.h"

namespace wharf {

extern const NANOMessageDescriptor NBPBICoreConfigurationDescriptor;

class NBPBICoreConfiguration final : public NANOTypedMessage<NBPBICoreConfiguration, NBPBICoreConfigurationDescriptor> {
public:
    using NANOTypedMessage::NANOTypedMessage;
    enum Slot : int32_t {
        field_16 = 0,  // tag 16, enum
        configuration_type = 1,  // tag 1, enum
        field_2 = 2,  // tag 2, string
        library_version_id = 3,  // tag 18, string
        sdk_version = 4,  // tag 19, string
        field_3 = 5,  // tag 3, int64
        field_4 = 6,  // tag 4, enum
        field_5 = 7,  // tag 5, string
        sdk_service_enabled = 8,  // tag 6, repeated enum
        sdk_service_installed = 9,  // tag 7, repeated enum
        sdk_name = 10,  // tag 20, enum
        error_info = 11,  // tag 15, message NBPBErrorInfo
        subspec_error_info = 12,  // tag 17, repeated message NBPBErrorInfo
        device_model = 13,  // tag 9, string
        system_version = 14,  // tag 22, string
        rovude_app_id = 15,  // tag 10, string
        field_11 = 16,  // tag 11, int64
        bundle_id = 17,  // tag 12, string
        field_13 = 18,  // tag 13, string
        field_23 = 19,  // tag 23, string
        minimum_os_version = 20,  // tag 24, string
        install_string = 21,  // tag 14, string
        using_options_from_default_plist = 22,  // tag 25, bool
        app_count = 23,  // tag 21, int32
        from_app_store = 24,  // tag 26, bool
        linked_framework_count = 25,  // tag 27, int32
        xcode_sdk_build = 26,  // tag 28, string
        field_29 = 27,  // tag 29, bool
    };
    static constexpr int32_t kSlotCount = 28;
};

}  // namespace wharf

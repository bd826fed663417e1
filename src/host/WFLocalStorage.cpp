#include "host/WFLocalStorage.h"

namespace wharf {

const WFActionTable& WFLocalStorage::actions() {
    static const WFActionTable table =
        WFMakeActionTable<WFLocalStorage>({{"backup", &WFLocalStorage::backup}, {"restore", &WFLocalStorage::restore}});
    return table;
}

void WFLocalStorage::pluginInitialize() {}
void WFLocalStorage::onAppTerminate() {}
void WFLocalStorage::onReset() {}
void WFLocalStorage::onResignActive() {}
void WFLocalStorage::backup(const WFInvokedUrlCommand&) {}
void WFLocalStorage::restore(const WFInvokedUrlCommand&) {}
void WFLocalStorage::fixupDatabaseLocationsWithBackupType(const std::string&) {}
WFWebStorageLocation WFLocalStorage::webStorageLocationForBackupType(const std::string&) { return {}; }

}  // namespace wharf

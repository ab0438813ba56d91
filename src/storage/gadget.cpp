#include "storage/gadget.h"

namespace qm {

// Not built yet: the storage modules never load.
int storage_init() { return -5; }
int storage_export(const char*) { return -22; }
void storage_shutdown() {}
int is_usb_storage_online() { return 0; }
int is_usb_connected() { return 0; }
int gadget_load_ethernet(const char*, const char*) { return -5; }
void report_sync() {}

}  // namespace qm

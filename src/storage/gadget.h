// The USB device-side gadgets: mass storage and Ethernet.
#pragma once

namespace qm {

int storage_init();                     // 0, -22 or -5
int storage_export(const char* path);   // 0 on success
void storage_shutdown();
int is_usb_storage_online();
int is_usb_connected();
int gadget_load_ethernet(const char* host_addr, const char* dev_addr);
void report_sync();

}  // namespace qm

/* A kernel driver that loads, does nothing and unloads: it stands in for the
 * token's NT 4.0 drivers wherever only their files and services matter. */
#include <ddk/wdm.h>

static VOID NTAPI stub_unload(PDRIVER_OBJECT driver) { (void)driver; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    (void)registry_path;
    driver->DriverUnload = stub_unload;
    return STATUS_SUCCESS;
}

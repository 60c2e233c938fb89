/* The token simulator driver: a kernel driver that plays the token driver
 * for tokens that exist only in it.  It creates the control device
 * "\Device\QUVADRVR" (user mode: "\\.\QUVADRVR") and answers the token
 * driver's four controls through the token model's driver core.
 *
 * Its tokens come from HKLM\Software\Vornel Technologies\Quva Token Simulator,
 * read once at load, outside the service key so that installing and removing
 * the driver never touches them:
 *   "Tokens"        REG_DWORD   how many (0 to 8; default 2)
 *   "Token<n>Id"    REG_DWORD   token id of the n-th (from 1), ascending (default n)
 *   "Token<n>Serial" REG_BINARY 8 bytes (default 51 56 00 00 and the id big-endian)
 *   "Token<n>Name"  REG_SZ      up to 32 characters, longer ones cut
 *                               (default "Simulated Token <n>")
 */
#include <ddk/wdm.h>

#include "core.h"

#define CONFIG_KEY L"\\Registry\\Machine\\Software\\Vornel Technologies\\Quva Token Simulator"

typedef struct {
    KMUTEX lock; /* one control at a time: the core keeps no lock of its own */
    void *core;
} EXTENSION;

static size_t extension_size(void) { return ((sizeof(EXTENSION) + 15) & ~(size_t)15) + tokensim_core_size() + 16; }

/* ---------------------------------------------------------------- registry */

/* L"Token" <n> <suffix>, for n from 1 to 9. */
static void value_name(WCHAR *out, unsigned n, const WCHAR *suffix) {
    static const WCHAR prefix[] = L"Token";
    unsigned i = 0;
    for (const WCHAR *p = prefix; *p; p++) out[i++] = *p;
    out[i++] = (WCHAR)(L'0' + n);
    for (const WCHAR *p = suffix; *p; p++) out[i++] = *p;
    out[i] = 0;
}

/* The value's data, cut to `size`, when its type is `type`; its whole
 * length, or -1. */
static LONG query(HANDLE key, const WCHAR *name, ULONG type, void *data, ULONG size) {
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 160];
    KEY_VALUE_PARTIAL_INFORMATION *info = (KEY_VALUE_PARTIAL_INFORMATION *)buffer;
    UNICODE_STRING uname;
    ULONG got = 0;
    RtlInitUnicodeString(&uname, name);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &uname, KeyValuePartialInformation, info, sizeof buffer, &got)))
        return -1;
    if (info->Type != type) return -1;
    RtlCopyMemory(data, info->Data, info->DataLength < size ? info->DataLength : size);
    return (LONG)info->DataLength;
}

/* 51 56 00 00 and the id big-endian, as the simulated machine's tokens have. */
static void default_serial(struct tokensim_token *t) {
    RtlZeroMemory(t->serial, sizeof t->serial);
    t->serial[0] = 0x51;
    t->serial[1] = 0x56;
    t->serial[4] = (UCHAR)(t->id >> 24);
    t->serial[5] = (UCHAR)(t->id >> 16);
    t->serial[6] = (UCHAR)(t->id >> 8);
    t->serial[7] = (UCHAR)t->id;
}

static void default_name(struct tokensim_token *t, unsigned n) {
    static const char name[] = "Simulated Token ";
    unsigned i;
    RtlZeroMemory(t->name, sizeof t->name);
    for (i = 0; name[i]; i++) t->name[i] = name[i];
    t->name[i] = (char)('0' + n);
}

/* The configured tokens; the default two when the key is missing. */
static unsigned read_tokens(struct tokensim_token *tokens) {
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING path;
    HANDLE key;
    ULONG count = 2, dword;
    unsigned n;
    RtlInitUnicodeString(&path, CONFIG_KEY);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) key = NULL;
    if (key && query(key, L"Tokens", REG_DWORD, &dword, sizeof dword) == 4) count = dword;
    if (count > TOKENSIM_MAX_TOKENS) count = TOKENSIM_MAX_TOKENS;
    for (n = 1; n <= count; n++) {
        struct tokensim_token *t = &tokens[n - 1];
        WCHAR name[24], text[33];
        LONG len;
        t->id = n;
        default_name(t, n);
        if (key) {
            value_name(name, n, L"Id");
            if (query(key, name, REG_DWORD, &dword, sizeof dword) == 4) t->id = dword;
        }
        default_serial(t);
        if (!key) continue;
        value_name(name, n, L"Serial");
        if (query(key, name, REG_BINARY, text, sizeof text) == 8) RtlCopyMemory(t->serial, text, 8);
        value_name(name, n, L"Name");
        len = query(key, name, REG_SZ, text, sizeof text);
        if (len >= 0) {
            /* Longer names are cut to 32 characters, as the token cuts them. */
            ULONG i, chars = ((ULONG)len < sizeof text ? (ULONG)len : sizeof text) / sizeof(WCHAR);
            RtlZeroMemory(t->name, sizeof t->name);
            for (i = 0; i < chars && i < sizeof t->name && text[i]; i++)
                t->name[i] = text[i] < 0x80 ? (char)text[i] : '?';
        }
    }
    if (key) ZwClose(key);
    return count;
}

/* ---------------------------------------------------------------- dispatch */

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Create and cleanup: nothing to keep per handle until it closes. */
static NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_close(PDEVICE_OBJECT device, PIRP irp) {
    EXTENSION *ext = (EXTENSION *)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    KeWaitForSingleObject(&ext->lock, Executive, KernelMode, FALSE, NULL);
    tokensim_core_release(ext->core, sp->FileObject);
    KeReleaseMutex(&ext->lock, FALSE);
    return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS status_of(uint32_t error) {
    switch (error) {
    case 0: return STATUS_SUCCESS;
    case 1: return STATUS_INVALID_DEVICE_REQUEST;       /* ERROR_INVALID_FUNCTION */
    case 5: return STATUS_ACCESS_DENIED;                /* ERROR_ACCESS_DENIED */
    case 87: return STATUS_INVALID_PARAMETER;           /* ERROR_INVALID_PARAMETER */
    case 234: return STATUS_BUFFER_OVERFLOW;            /* ERROR_MORE_DATA, with the bytes that fit */
    default: return STATUS_INVALID_HANDLE;              /* ERROR_INVALID_HANDLE, token gone */
    }
}

static NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    EXTENSION *ext = (EXTENSION *)device->DeviceExtension;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    uint32_t returned = 0, error;
    KeWaitForSingleObject(&ext->lock, Executive, KernelMode, FALSE, NULL);
    error = tokensim_core_control(ext->core, sp->FileObject, code, irp->AssociatedIrp.SystemBuffer,
                                  sp->Parameters.DeviceIoControl.InputBufferLength,
                                  sp->Parameters.DeviceIoControl.OutputBufferLength, &returned);
    KeReleaseMutex(&ext->lock, FALSE);
    return complete(irp, status_of(error), returned);
}

/* ---------------------------------------------------------------- load, unload */

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\QUVADRVR");
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    struct tokensim_token tokens[TOKENSIM_MAX_TOKENS];
    UNICODE_STRING name, link;
    PDEVICE_OBJECT device;
    EXTENSION *ext;
    unsigned count;
    NTSTATUS status;
    (void)registry_path;

    count = read_tokens(tokens);
    RtlInitUnicodeString(&name, L"\\Device\\QUVADRVR");
    status = IoCreateDevice(driver, (ULONG)extension_size(), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ext = (EXTENSION *)device->DeviceExtension;
    RtlZeroMemory(ext, extension_size());
    KeInitializeMutex(&ext->lock, 0);
    ext->core = (void *)(((ULONG_PTR)(ext + 1) + 15) & ~(ULONG_PTR)15);
    tokensim_core_init(ext->core, tokens, count);

    RtlInitUnicodeString(&link, L"\\DosDevices\\QUVADRVR");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_create; /* nothing to do before the close */
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}

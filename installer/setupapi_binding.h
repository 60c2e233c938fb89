// SetupAPI and the new-device installer, bound by name at first use so the
// library still loads where they are missing (Windows 95).  Each operation
// binds, uses and frees its own copy; nothing is kept between calls.
#ifndef QUVADI_SETUPAPI_BINDING_H
#define QUVADI_SETUPAPI_BINDING_H

#include <windows.h>
#include <setupapi.h>

#include <cstring>

// One loaded system library; functions are looked up by name when called.
class BoundLibrary {
public:
    explicit BoundLibrary(const char *file) : module_(LoadLibraryA(file)) {}
    ~BoundLibrary() {
        if (!module_) return;
        DWORD error = GetLastError(); // the caller's error outlives the unload
        FreeLibrary(module_);
        SetLastError(error);
    }
    BoundLibrary(const BoundLibrary &) = delete;
    BoundLibrary &operator=(const BoundLibrary &) = delete;

    bool loaded() const { return module_ != nullptr; }
    // Null when the library or the function is missing; the last error then
    // says why.
    template <class F> F fn(const char *name) const {
        if (!module_) return nullptr;
        return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module_, name)));
    }

private:
    HMODULE module_;
};

// SetupAPI's own functions, each failing with ERROR_PROC_NOT_FOUND when it
// cannot be bound.
class SetupApi : public BoundLibrary {
public:
    SetupApi() : BoundLibrary("setupapi") {}

    template <class F, class... A> BOOL call(const char *name, A... args) const {
        F f = fn<F>(name);
        if (!f) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return FALSE;
        }
        return f(args...);
    }
};

// One device information list: from SetupDiGetClassDevsA, or empty for one
// class (SetupDiCreateDeviceInfoList).  Freed with the library when the
// operation leaves, whichever way; the last error survives the freeing.
class DeviceList {
public:
    struct Empty {};

    DeviceList(const GUID *cls, DWORD flags) {
        typedef HDEVINFO(WINAPI * GetClassDevsFn)(const GUID *, PCSTR, HWND, DWORD);
        if (!bind()) return;
        if (auto open = api_.fn<GetClassDevsFn>("SetupDiGetClassDevsA"))
            set_ = open(cls, nullptr, nullptr, flags);
        else
            SetLastError(ERROR_PROC_NOT_FOUND);
    }
    DeviceList(const GUID *cls, Empty) {
        typedef HDEVINFO(WINAPI * CreateListFn)(const GUID *, HWND);
        if (!bind()) return;
        if (auto create = api_.fn<CreateListFn>("SetupDiCreateDeviceInfoList"))
            set_ = create(cls, nullptr);
        else
            SetLastError(ERROR_PROC_NOT_FOUND);
    }
    ~DeviceList() {
        if (set_ == INVALID_HANDLE_VALUE) return;
        DWORD error = GetLastError();
        destroy_(set_);
        SetLastError(error);
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    bool opened() const { return set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO set() const { return set_; }
    SP_DEVINFO_DATA *data() { return &data_; }

    // The member at index becomes the current one; false once past the last.
    bool member(DWORD index) {
        std::memset(&data_, 0, sizeof data_);
        data_.cbSize = sizeof data_;
        return enum_(set_, index, &data_) != FALSE;
    }
    // A property of the current member into buf (size bytes, two more kept
    // zero so a multi-string always ends); the bytes returned, or -1.
    long property(DWORD which, char *buf, DWORD size) {
        std::memset(buf, 0, size + 2);
        DWORD type = 0, need = 0;
        if (!property_(set_, &data_, which, &type, (PBYTE)buf, size, &need)) return -1;
        return need < size ? (long)need : (long)size;
    }

    // Calls on the current member.
    BOOL instance_id(char *buf, DWORD size) {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, PSTR, DWORD, PDWORD)>(
            "SetupDiGetDeviceInstanceIdA", set_, &data_, buf, size, (PDWORD) nullptr);
    }
    BOOL set_property(DWORD which, const BYTE *value, DWORD size) {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, const BYTE *, DWORD)>(
            "SetupDiSetDeviceRegistryPropertyA", set_, &data_, which, value, size);
    }
    BOOL set_class_install_params(SP_CLASSINSTALL_HEADER *params, DWORD size) {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, PSP_CLASSINSTALL_HEADER, DWORD)>(
            "SetupDiSetClassInstallParamsA", set_, &data_, params, size);
    }
    BOOL call_class_installer(DI_FUNCTION function) {
        return api_.call<BOOL(WINAPI *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA)>("SetupDiCallClassInstaller",
                                                                                 function, set_, &data_);
    }
    BOOL install_params(SP_DEVINSTALL_PARAMS_A *params) {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, PSP_DEVINSTALL_PARAMS_A)>(
            "SetupDiGetDeviceInstallParamsA", set_, &data_, params);
    }
    BOOL remove_device() {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA)>("SetupDiRemoveDevice", set_, &data_);
    }
    BOOL delete_device_info() {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA)>("SetupDiDeleteDeviceInfo", set_, &data_);
    }
    BOOL delete_dev_reg_key(DWORD scope, DWORD profile, DWORD key_type) {
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD)>(
            "SetupDiDeleteDevRegKey", set_, &data_, scope, profile, key_type);
    }
    // Creates a new member, which becomes the current one.
    BOOL create_device(const char *name, const GUID *cls, DWORD flags) {
        std::memset(&data_, 0, sizeof data_);
        data_.cbSize = sizeof data_;
        return api_.call<BOOL(WINAPI *)(HDEVINFO, PCSTR, const GUID *, PCSTR, HWND, DWORD, PSP_DEVINFO_DATA)>(
            "SetupDiCreateDeviceInfoA", set_, name, cls, (PCSTR) nullptr, (HWND) nullptr, flags, &data_);
    }

private:
    typedef BOOL(WINAPI *EnumDeviceInfoFn)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    typedef BOOL(WINAPI *GetPropertyFn)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    typedef BOOL(WINAPI *DestroyListFn)(HDEVINFO);

    // The functions every list needs; false when one is missing.
    bool bind() {
        if (!api_.loaded()) return false;
        enum_ = api_.fn<EnumDeviceInfoFn>("SetupDiEnumDeviceInfo");
        property_ = api_.fn<GetPropertyFn>("SetupDiGetDeviceRegistryPropertyA");
        destroy_ = api_.fn<DestroyListFn>("SetupDiDestroyDeviceInfoList");
        if (enum_ && property_ && destroy_) return true;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return false;
    }

    SetupApi api_;
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    EnumDeviceInfoFn enum_ = nullptr;
    GetPropertyFn property_ = nullptr;
    DestroyListFn destroy_ = nullptr;
    SP_DEVINFO_DATA data_{};
};

#endif

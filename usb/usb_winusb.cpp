// Real USB on Windows: the bootloader interfaces that SetupAPI lists under the bootloader's
// device interface class, opened through WinUSB. Each entry's name is its device path; its
// default pipes are its first bulk IN and first bulk OUT pipe. Windows error codes never leave
// this file: they become usb_platform_error codes here.
#include "usb/usb_winusb.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"
#include "usb/usb.h"
#include "usb/usb_backend.h"

namespace {

using namespace usb_backend;

// the class the bootloader's driver package registers its interfaces under
constexpr GUID kBootloaderClass = {
    0xF72FE0D4, 0xCBCB, 0x407D, {0x88, 0x14, 0x9E, 0xD6, 0x73, 0xD0, 0xDD, 0x6B}};
constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kStringDescriptorType = 3;
constexpr USHORT kEnglishUs = 0x0409;

const winusb_api* g_api = nullptr;

const winusb_api& api() {
    return g_api != nullptr ? *g_api : *winusb_system_api();
}

bool fail_now(bool transfer) {
    return fail_with(winusb_error(api().get_last_error(), transfer));
}

std::string narrow(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

std::wstring widen(const std::string& s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

struct InfoListCloser {
    void operator()(void* list) const { api().destroy_info_list(list); }
};
using InfoList = std::unique_ptr<void, InfoListCloser>;

InfoList info_list(const GUID* cls, const wchar_t* enumerator, DWORD flags) {
    HDEVINFO list = api().get_class_devs(cls, enumerator, nullptr, flags);
    if (list == INVALID_HANDLE_VALUE) return nullptr;
    return InfoList(list);
}

std::wstring registry_text(HDEVINFO list, SP_DEVINFO_DATA* dev, DWORD property) {
    wchar_t buf[1024] = {};
    if (!api().get_registry_property(list, dev, property, nullptr, reinterpret_cast<BYTE*>(buf),
                                     sizeof buf - sizeof(wchar_t), nullptr)) {
        return {};
    }
    // a multi-text property: its texts one after the other, each ended by a NUL
    std::wstring all(buf, std::size(buf) - 1);
    return all;
}

bool contains_nocase(const std::wstring& hay, const std::wstring& needle) {
    auto lower = [](std::wstring s) {
        for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
        return s;
    };
    return lower(hay).find(lower(needle)) != std::wstring::npos;
}

// Nothing is listed under the bootloader's class: a bootloader interface that Windows sees
// without WinUSB bound to it is the likely reason. Each one is noted for the search; the first
// is told once per run.
void report_unbound_bootloader() {
    static bool told = false;
    InfoList list = info_list(nullptr, L"USB", DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (!list) return;
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; api().enum_device_info(list.get(), i, &dev); ++i) {
        std::wstring ids = registry_text(list.get(), &dev, SPDRP_COMPATIBLEIDS);
        if (!contains_nocase(ids, L"USB\\Class_ff&SubClass_42&Prot_03")) continue;
        if (contains_nocase(registry_text(list.get(), &dev, SPDRP_SERVICE), L"WinUSB")) continue;
        std::wstring hw = registry_text(list.get(), &dev, SPDRP_HARDWAREID);
        const std::string id = narrow(hw.c_str());
        note_no_driver(id);
        if (told) continue;
        told = true;
        con_err(
            "usb: the bootloader interface %s has no WinUSB driver; bind WinUSB to it (see "
            "README.md, \"Windows\")\n",
            id.c_str());
    }
}

// Where each interface of the last enumeration hangs: SetupAPI's location path of its device
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"), the same across the device's reboots.
std::vector<std::pair<std::string, std::string>>& places() {
    static std::vector<std::pair<std::string, std::string>> listed;
    return listed;
}

void* winusb_enum() {
    InfoList list = info_list(&kBootloaderClass, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!list) return fail_now(false), nullptr;
    std::vector<std::string> names;
    places().clear();
    SP_DEVICE_INTERFACE_DATA ifc{};
    ifc.cbSize = sizeof ifc;
    for (DWORD i = 0; api().enum_device_interfaces(list.get(), nullptr, &kBootloaderClass, i, &ifc);
         ++i) {
        DWORD needed = 0;
        api().get_interface_detail(list.get(), &ifc, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<unsigned char> buf(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        if (!api().get_interface_detail(list.get(), &ifc, detail, needed, nullptr, &dev)) {
            continue;
        }
        names.push_back(narrow(detail->DevicePath));
        // a multi-text property: the first text is the path
        const std::wstring location = registry_text(list.get(), &dev, SPDRP_LOCATION_PATHS);
        const std::string place = narrow(std::wstring(location.c_str()));
        if (!place.empty()) places().emplace_back(names.back(), place);
    }
    if (names.empty()) report_unbound_bootloader();
    return make_enumeration(std::move(names));
}

// An opened interface: the device file and WinUSB's handle on it.
struct Interface : OpenInterface {
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    UCHAR in = 0, out = 0;
    // the timeout each pipe was last given, so it is set only when it changes
    ULONG in_timeout = 0, out_timeout = 0;

    ~Interface() override {
        if (usb != nullptr) api().free(usb);
        if (file != INVALID_HANDLE_VALUE) api().close_handle(file);
    }
    // a pipe only for an endpoint the interface has
    bool has_pipe(Kind kind) const override { return (kind == Kind::ReadPipe ? in : out) != 0; }
};

bool read_descriptors(Interface& ifc) {
    ULONG got = 0;
    if (!api().get_descriptor(ifc.usb, kDeviceDescriptorType, 0, 0, ifc.device_descriptor,
                              sizeof ifc.device_descriptor, &got) ||
        got != sizeof ifc.device_descriptor) {
        return false;
    }
    USB_INTERFACE_DESCRIPTOR id{};
    if (!api().query_interface_settings(ifc.usb, 0, &id)) return false;
    static_assert(sizeof id == sizeof ifc.interface_descriptor);
    std::memcpy(ifc.interface_descriptor, &id, sizeof id);
    // the first bulk pipe of each direction
    for (UCHAR i = 0; i < id.bNumEndpoints; ++i) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (!api().query_pipe(ifc.usb, 0, i, &pipe) || pipe.PipeType != UsbdPipeTypeBulk) {
            continue;
        }
        UCHAR& slot = USB_ENDPOINT_DIRECTION_IN(pipe.PipeId) ? ifc.in : ifc.out;
        if (slot == 0) slot = pipe.PipeId;
    }
    return true;
}

void* winusb_create(const char* name) {
    auto ifc = std::make_shared<Interface>();
    ifc->name = name;
    // exclusive: a device that another program has open is busy, as a claimed interface is
    ifc->file =
        api().create_file(widen(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (ifc->file == INVALID_HANDLE_VALUE) return fail_now(false), nullptr;
    if (!api().initialize(ifc->file, &ifc->usb)) {
        ifc->usb = nullptr;
        return fail_now(false), nullptr;
    }
    if (!read_descriptors(*ifc)) return fail_now(false), nullptr;
    usb_platform_set_last_error(USB_ERR_NONE);
    return interface_handle(std::move(ifc));
}

// The serial number's string descriptor (UTF-16LE) in 8-bit characters; a character outside
// ASCII cannot be typed on the command line to choose the device, and becomes '?'.
bool winusb_serial(void* handle, char* buf, size_t size) {
    auto* ifc = backend_interface<Interface>(handle);
    if (ifc == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    const UCHAR index = ifc->device_descriptor[16];
    if (index == 0 || size < 2) return fail_with(USB_ERR_NOT_FOUND);
    UCHAR desc[255] = {};
    ULONG got = 0;
    if (!api().get_descriptor(ifc->usb, kStringDescriptorType, index, kEnglishUs, desc, sizeof desc,
                              &got)) {
        return fail_now(false);
    }
    got = std::min<ULONG>({got, desc[0], sizeof desc});
    size_t n = 0;
    for (ULONG at = 2; at + 1 < got && n + 1 < size; at += 2) {
        const unsigned c = desc[at] | desc[at + 1] << 8;
        buf[n++] = c < 0x80 ? static_cast<char>(c) : '?';
    }
    buf[n] = '\0';
    return true;
}

bool winusb_device_path(const char* name, char* buf, size_t size) {
    for (const auto& [listed, place] : places()) {
        if (listed != name) continue;
        if (place.size() + 1 > size) return false;
        std::memcpy(buf, place.c_str(), place.size() + 1);
        return true;
    }
    return false;
}

// WinUSB gives descriptors only through an open device file: it is opened, read and closed,
// with no transfer on its pipes. Every search looks at each interface so before it takes one.
bool winusb_peek_device(const char* name, uint8_t device[18], uint8_t ifc[9], char* serial,
                        size_t serial_size) {
    void* handle = winusb_create(name);
    if (handle == nullptr) return false;
    auto* opened = backend_interface<Interface>(handle);
    std::memcpy(device, opened->device_descriptor, sizeof opened->device_descriptor);
    std::memcpy(ifc, opened->interface_descriptor, sizeof opened->interface_descriptor);
    if (serial_size > 0 && !winusb_serial(handle, serial, serial_size)) serial[0] = '\0';
    close_handle(handle);
    return true;
}

bool transfer(void* pipe, Kind kind, UCHAR* buf, uint32_t len, uint32_t* moved,
              uint32_t timeout_ms) {
    *moved = 0;
    auto* ifc = backend_pipe<Interface>(pipe, kind);
    if (ifc == nullptr || ifc->usb == nullptr) return fail_with(USB_ERR_INVALID_HANDLE);
    const bool in = kind == Kind::ReadPipe;
    const UCHAR id = in ? ifc->in : ifc->out;
    // WinUSB waits for ever on a timeout of 0
    ULONG timeout = timeout_ms == 0 ? 1 : timeout_ms;
    ULONG& set = in ? ifc->in_timeout : ifc->out_timeout;
    if (set != timeout) {
        if (!api().set_pipe_policy(ifc->usb, id, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout)) {
            return fail_now(true);
        }
        set = timeout;
    }
    ULONG done = 0;
    const BOOL ok = in ? api().read_pipe(ifc->usb, id, buf, len, &done, nullptr)
                       : api().write_pipe(ifc->usb, id, buf, len, &done, nullptr);
    if (!ok) {
        const usb_platform_error e = winusb_error(api().get_last_error(), true);
        // bytes came before the timeout: that is a transfer
        if (e != USB_ERR_TIMEOUT || done == 0) return fail_with(e);
    }
    if (done > len) return fail_with(USB_ERR_IO);
    *moved = done;
    usb_platform_set_last_error(USB_ERR_NONE);
    return true;
}

bool winusb_read(void* pipe, void* buf, uint32_t len, uint32_t* got, uint32_t timeout_ms) {
    return transfer(pipe, Kind::ReadPipe, static_cast<UCHAR*>(buf), len, got, timeout_ms);
}

bool winusb_write(void* pipe, const void* buf, uint32_t len, uint32_t* put, uint32_t timeout_ms) {
    // WinUSB's buffer is not const, but an OUT transfer only reads it
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(buf));
    return transfer(pipe, Kind::WritePipe, bytes, len, put, timeout_ms);
}

const usb_platform kWinusbPlatform = {
    .name = "winusb",
    .enum_interfaces = winusb_enum,
    .next_interface = next_name,
    .close_enum = close_enumeration,
    .create_interface = winusb_create,
    .open_read_pipe = open_read_pipe,
    .open_write_pipe = open_write_pipe,
    .interface_name = interface_name,
    .device_descriptor = device_descriptor,
    .interface_descriptor = interface_descriptor,
    .serial_number = winusb_serial,
    .read_sync = winusb_read,
    .write_sync = winusb_write,
    .close_handle = close_handle,
    .simulated = false,  // real hardware
    // WinUSB reads the descriptors only through an open handle, and what SetupAPI keeps of a
    // device (its hardware and compatible ids) is not its descriptors: an interface that cannot
    // be opened is told by its path. Every interface listed here is one the driver package put
    // under the bootloader's class, so taking it for the bootloader is right.
    .peek_descriptors = nullptr,
    .device_path = winusb_device_path,
    .peek_device = winusb_peek_device,
    // WinUSB offers a program no port reset: the interface a run takes is opened, nothing more
    .reset_interface = nullptr,
};

const winusb_api kSystemApi = {
    ::SetupDiGetClassDevsW,
    ::SetupDiEnumDeviceInterfaces,
    ::SetupDiGetDeviceInterfaceDetailW,
    ::SetupDiEnumDeviceInfo,
    ::SetupDiGetDeviceRegistryPropertyW,
    ::SetupDiDestroyDeviceInfoList,
    ::CreateFileW,
    ::CloseHandle,
    ::WinUsb_Initialize,
    ::WinUsb_Free,
    ::WinUsb_GetDescriptor,
    ::WinUsb_QueryInterfaceSettings,
    ::WinUsb_QueryPipe,
    ::WinUsb_SetPipePolicy,
    ::WinUsb_ReadPipe,
    ::WinUsb_WritePipe,
    ::GetLastError,
};

}  // namespace

usb_platform_error winusb_error(DWORD code, bool transfer) {
    switch (code) {
        case ERROR_SUCCESS:
            return USB_ERR_NONE;
        case ERROR_SEM_TIMEOUT:  // 121: the pipe's timeout expired
            return USB_ERR_TIMEOUT;
        case ERROR_INVALID_HANDLE:  // 6
        case ERROR_DEVICE_NOT_CONNECTED:
            return USB_ERR_INVALID_HANDLE;
        case ERROR_FILE_NOT_FOUND:  // unplugged between listing and opening, or during a transfer
            return transfer ? USB_ERR_INVALID_HANDLE : USB_ERR_NOT_FOUND;
        case ERROR_NOT_ENOUGH_MEMORY:  // 14
        case ERROR_OUTOFMEMORY:
            return transfer ? USB_ERR_IO : USB_ERR_NOT_ENOUGH_MEMORY;
        case ERROR_BUSY:  // 170
        case ERROR_SHARING_VIOLATION:
            return transfer ? USB_ERR_IO : USB_ERR_BUSY;
        case ERROR_ACCESS_DENIED:
            // a device file opened exclusively by another program is refused this way
            return transfer ? USB_ERR_IO : USB_ERR_BUSY;
        default:
            // 31 (ERROR_GEN_FAILURE: a stalled pipe, a device not working), aborts, the rest
            return USB_ERR_IO;
    }
}

const winusb_api* winusb_system_api() {
    return &kSystemApi;
}

void winusb_install_api(const winusb_api* table) {
    g_api = table;
}

const usb_platform* usb_platform_winusb() {
    return &kWinusbPlatform;
}

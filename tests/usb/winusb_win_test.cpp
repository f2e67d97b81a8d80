// The WinUSB backend at its edge: a fake table of the Windows calls stands for SetupAPI and
// WinUSB (wine's WinUsb_* calls are stubs), and the transport runs over the real backend.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "usb/usb.h"
#include "usb/usb_winusb.h"

namespace {

// One bootloader interface: vendor 18d1, ff/42/03, a bulk IN pipe 0x81 and a bulk OUT pipe 0x01.
struct FakeDevice {
    DWORD create_error = 0;                    // CreateFileW fails with it when set
    std::deque<std::pair<BOOL, DWORD>> reads;  // result and last error of each ReadPipe
    std::vector<ULONG> timeouts;               // PIPE_TRANSFER_TIMEOUT values set
    DWORD last_error = 0;
    int open_files = 0;
    int winusb_sessions = 0;  // WinUsb_Initialize calls: no other WinUsb_* call comes without one
} g_dev;

HANDLE kList = reinterpret_cast<HANDLE>(0x10);
HANDLE kFile = reinterpret_cast<HANDLE>(0x20);
const wchar_t kPath[] = L"\\\\?\\usb#vid_18d1&pid_4ee0#SER1#{f72fe0d4}";
const char kPathUtf8[] = "\\\\?\\usb#vid_18d1&pid_4ee0#SER1#{f72fe0d4}";

HDEVINFO WINAPI get_class_devs(const GUID*, PCWSTR, HWND, DWORD) {
    return kList;
}
BOOL WINAPI enum_interfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD i,
                            PSP_DEVICE_INTERFACE_DATA) {
    return i == 0;
}
BOOL WINAPI interface_detail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W d, DWORD, PDWORD needed,
                             PSP_DEVINFO_DATA) {
    if (needed != nullptr) *needed = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + sizeof kPath;
    if (d == nullptr) return FALSE;
    std::memcpy(d->DevicePath, kPath, sizeof kPath);
    return TRUE;
}
BOOL WINAPI enum_device_info(HDEVINFO, DWORD, PSP_DEVINFO_DATA) {
    return FALSE;
}
BOOL WINAPI registry_property(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD) {
    return FALSE;
}
BOOL WINAPI destroy_list(HDEVINFO) {
    return TRUE;
}
HANDLE WINAPI create_file(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (g_dev.create_error != 0) {
        g_dev.last_error = g_dev.create_error;
        return INVALID_HANDLE_VALUE;
    }
    ++g_dev.open_files;
    return kFile;
}
BOOL WINAPI close_file(HANDLE) {
    --g_dev.open_files;
    return TRUE;
}
BOOL WINAPI initialize(HANDLE, PWINUSB_INTERFACE_HANDLE usb) {
    ++g_dev.winusb_sessions;
    *usb = kFile;
    return TRUE;
}
BOOL WINAPI free_usb(WINUSB_INTERFACE_HANDLE) {
    return TRUE;
}
BOOL WINAPI get_descriptor(WINUSB_INTERFACE_HANDLE, UCHAR type, UCHAR, USHORT, PUCHAR buf,
                           ULONG len, PULONG got) {
    const UCHAR device[18] = {18, 1, 0, 2, 0, 0, 0, 64, 0xd1, 0x18, 0xe0, 0x4e, 0, 1, 1, 2, 3, 1};
    const UCHAR serial[] = {10, 3, 'S', 0, 'E', 0, 'R', 0, '1', 0};
    const UCHAR* d = type == 1 ? device : serial;
    *got = std::min<ULONG>(len, type == 1 ? sizeof device : sizeof serial);
    std::memcpy(buf, d, *got);
    return TRUE;
}
BOOL WINAPI interface_settings(WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR id) {
    *id = {9, 4, 0, 0, 2, 0xff, 0x42, 0x03, 0};
    return TRUE;
}
BOOL WINAPI query_pipe(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR i, PWINUSB_PIPE_INFORMATION p) {
    p->PipeType = UsbdPipeTypeBulk;
    p->PipeId = i == 0 ? 0x81 : 0x01;
    return TRUE;
}
BOOL WINAPI set_policy(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID value) {
    g_dev.timeouts.push_back(*static_cast<ULONG*>(value));
    return TRUE;
}
BOOL WINAPI read_pipe(WINUSB_INTERFACE_HANDLE, UCHAR pipe, PUCHAR buf, ULONG, PULONG got,
                      LPOVERLAPPED) {
    EXPECT_EQ(pipe, 0x81);
    auto [ok, error] = g_dev.reads.front();
    g_dev.reads.pop_front();
    *got = ok ? 4 : 0;
    if (ok) std::memcpy(buf, "OKAY", 4);
    g_dev.last_error = error;
    return ok;
}
BOOL WINAPI write_pipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG len, PULONG put,
                       LPOVERLAPPED) {
    *put = len;
    return TRUE;
}
DWORD WINAPI last_error() {
    return g_dev.last_error;
}

const winusb_api kFake = {get_class_devs,    enum_interfaces, interface_detail, enum_device_info,
                          registry_property, destroy_list,    create_file,      close_file,
                          initialize,        free_usb,        get_descriptor,   interface_settings,
                          query_pipe,        set_policy,      read_pipe,        write_pipe,
                          last_error};

class WinUsb : public ::testing::Test {
  protected:
    void SetUp() override {
        g_dev = FakeDevice{};
        winusb_install_api(&kFake);
        usb_platform_install(usb_platform_winusb());
    }
    void TearDown() override {
        usb_platform_install(nullptr);
        winusb_install_api(nullptr);
        EXPECT_EQ(g_dev.open_files, 0);
    }
};

TEST(WinUsbError, TheWindowsCodesBecomeTheTransportsOwn) {
    struct Case {
        DWORD code;
        usb_platform_error transfer, open;
    };
    const Case cases[] = {
        {121, USB_ERR_TIMEOUT, USB_ERR_TIMEOUT},
        {6, USB_ERR_INVALID_HANDLE, USB_ERR_INVALID_HANDLE},
        {31, USB_ERR_IO, USB_ERR_IO},
        {14, USB_ERR_IO, USB_ERR_NOT_ENOUGH_MEMORY},
        {170, USB_ERR_IO, USB_ERR_BUSY},
        {ERROR_DEVICE_NOT_CONNECTED, USB_ERR_INVALID_HANDLE, USB_ERR_INVALID_HANDLE},
        {ERROR_FILE_NOT_FOUND, USB_ERR_INVALID_HANDLE, USB_ERR_NOT_FOUND},
        {ERROR_ACCESS_DENIED, USB_ERR_IO, USB_ERR_BUSY},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(winusb_error(c.code, true), c.transfer) << c.code;
        EXPECT_EQ(winusb_error(c.code, false), c.open) << c.code;
    }
}

TEST_F(WinUsb, TheListedInterfaceIsOpenedWithItsSerialAndBulkPipes) {
    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    // the serial number from its UTF-16 string descriptor
    auto serial_is_ser1 = [](usb_ifc_info* i) { return std::strcmp(i->serial_number, "SER1"); };
    ASSERT_EQ(recognized_device(h, serial_is_ser1), 1);
    // a timed-out read is tried again; the pipe's timeout is set once, from the length asked
    g_dev.reads = {{FALSE, 121}, {TRUE, 0}};
    char buf[64];
    EXPECT_EQ(usb_read(h, buf, 64), 4);
    EXPECT_EQ(g_dev.timeouts, std::vector<ULONG>{8 * 64 + 500});
    EXPECT_EQ(usb_close(h), 0);
}

TEST_F(WinUsb, ADeviceGoneKicksTheHandle) {
    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    g_dev.reads = {{FALSE, 6}};
    char buf[64];
    EXPECT_EQ(usb_read(h, buf, 64), -1);
    EXPECT_EQ(errno, USB_ERR_INVALID_HANDLE);
    EXPECT_EQ(h->qrb_interface, nullptr);
    EXPECT_EQ(g_dev.open_files, 0);
    usb_close(h);
}

// An interface that cannot be opened is skipped; one held by another program is named for the
// person waiting, by its path alone, since WinUSB describes nothing it has not opened.
TEST_F(WinUsb, AnInterfaceThatCannotBeOpenedIsSkippedAndAHeldOneNamed) {
    const std::string path = kPathUtf8;
    struct Case {
        DWORD create_error;
        bool named_busy;
    };
    const Case cases[] = {
        {ERROR_BUSY, true},
        {ERROR_SHARING_VIOLATION, true},
        {ERROR_ACCESS_DENIED, true},
        {ERROR_FILE_NOT_FOUND, false},  // gone between listing and opening
        {ERROR_GEN_FAILURE, false},
    };
    for (const Case& c : cases) {
        g_dev = FakeDevice{};
        g_dev.create_error = c.create_error;
        EXPECT_EQ(usb_open(match_trevan), nullptr) << c.create_error;
        EXPECT_EQ(usb_last_seen().busy,
                  c.named_busy ? std::vector{path} : std::vector<std::string>{})
            << c.create_error;
        EXPECT_TRUE(usb_last_seen().refused.empty()) << c.create_error;
        EXPECT_EQ(g_dev.winusb_sessions, 0) << c.create_error;
    }
}

}  // namespace

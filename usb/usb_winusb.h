// The Windows calls under the WinUSB backend, as a table, so that tests can put a fake device
// behind the backend without a device (and without wine's WinUsb_* calls, which are stubs there).
// Only usb_winusb.cpp and its tests include this: it brings in <windows.h>.
#pragma once

// windows.h must come before the headers that use its types
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>
// clang-format on

#include "usb/usb_platform.h"

struct winusb_api {
    decltype(&::SetupDiGetClassDevsW) get_class_devs;
    decltype(&::SetupDiEnumDeviceInterfaces) enum_device_interfaces;
    decltype(&::SetupDiGetDeviceInterfaceDetailW) get_interface_detail;
    decltype(&::SetupDiEnumDeviceInfo) enum_device_info;
    decltype(&::SetupDiGetDeviceRegistryPropertyW) get_registry_property;
    decltype(&::SetupDiDestroyDeviceInfoList) destroy_info_list;
    decltype(&::CreateFileW) create_file;
    decltype(&::CloseHandle) close_handle;
    decltype(&::WinUsb_Initialize) initialize;
    decltype(&::WinUsb_Free) free;
    decltype(&::WinUsb_GetDescriptor) get_descriptor;
    decltype(&::WinUsb_QueryInterfaceSettings) query_interface_settings;
    decltype(&::WinUsb_QueryPipe) query_pipe;
    decltype(&::WinUsb_SetPipePolicy) set_pipe_policy;
    decltype(&::WinUsb_ReadPipe) read_pipe;
    decltype(&::WinUsb_WritePipe) write_pipe;
    decltype(&::GetLastError) get_last_error;
};

// The system's functions.
const winusb_api* winusb_system_api();
// The table the backend calls from now on (tests); null puts the system's back.
void winusb_install_api(const winusb_api* api);

// A Windows error code as one of the platform codes. A transfer fails only as a timeout, a
// device gone or an I/O error; opening an interface may also fail as busy, refused or missing.
usb_platform_error winusb_error(DWORD code, bool transfer);

// Finding the bootloader's interface: vendors, class triple, endpoint count, serial rules,
// enumeration order, and that nothing opened during the search is left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/class_triples.h"
#include "support/fake_platform.h"
#include "usb/usb.h"

namespace {

fake::Interface listed(const std::string& name) {
    fake::Interface ifc;
    ifc.name = name;
    return ifc;
}

// Opens with match_trevan and returns the chosen interface's name ("" for none), closing it.
std::string chosen(const char* wanted) {
    serial = wanted;
    usb_handle* h = usb_open(match_trevan);
    std::string name = h ? h->interface_name : "";
    usb_close(h);
    return name;
}

TEST(UsbOpen, EveryListedVendorIsAcceptedAndOthersAreNot) {
    const uint16_t listed_vendors[] = {0x18D1, 0x8087, 0x0451, 0x0502, 0x0FCE, 0x05C6, 0x22B8,
                                       0x0955, 0x413C, 0x2314, 0x0B05, 0x1949, 0x0BB4};
    // neighbours of listed ids and a common vendor, all with the bootloader's class triple
    const uint16_t others[] = {0x18D0, 0x18D2, 0x0000, 0xFFFF, 0x04E8, 0x2717, 0xD118};
    std::vector<std::pair<uint16_t, bool>> vendors;  // the vendor id, and whether it is listed
    for (uint16_t vendor : listed_vendors) vendors.emplace_back(vendor, true);
    for (uint16_t vendor : others) vendors.emplace_back(vendor, false);
    for (const auto& [vendor, is_listed] : vendors) {
        fake::Installed fake;
        fake::Interface ifc = listed("dev");
        ifc.vendor = vendor;
        fake::state().interfaces = {ifc};
        EXPECT_EQ(chosen(nullptr), is_listed ? "dev" : "") << std::hex << vendor;
        EXPECT_EQ(usb_vendor_listed(vendor), is_listed ? 1 : 0);
        EXPECT_EQ(fake::handles_left_open(), 0);
    }
}

TEST(UsbOpen, OnlyTheBootloaderClassTripleIsAccepted) {
    for (const support::ClassTriple& c : support::kClassTriples) {
        fake::Installed fake;
        fake::Interface ifc = listed("dev");
        ifc.cls = c.cls;
        ifc.subclass = c.subclass;
        ifc.protocol = c.protocol;
        fake::state().interfaces = {ifc};
        EXPECT_EQ(chosen(nullptr), c.bootloader ? "dev" : "")
            << int(c.cls) << "/" << int(c.subclass) << "/" << int(c.protocol);
    }
}

std::vector<std::string> g_offered;
int offer_recorder(usb_ifc_info* info) {
    g_offered.push_back(info->serial_number);
    return -1;
}

TEST(UsbOpen, InterfacesWithoutExactlyTwoEndpointsAreNeverOffered) {
    fake::Installed fake;
    std::vector<fake::Interface> ifcs;
    for (uint8_t n : {0, 1, 2, 3, 4}) {
        fake::Interface ifc = listed("ep" + std::to_string(n));
        ifc.endpoints = n;
        ifc.serial = "eps" + std::to_string(n);
        ifcs.push_back(ifc);
    }
    fake::state().interfaces = ifcs;
    g_offered.clear();
    EXPECT_EQ(usb_open(offer_recorder), nullptr);
    EXPECT_EQ(g_offered, std::vector<std::string>{"eps2"});
    EXPECT_EQ(fake::handles_left_open(), 0);
    EXPECT_EQ(fake::handles_closed_twice(), 0);
}

TEST(UsbOpen, SerialRules) {
    struct Case {
        const char* wanted;                 // the serial argument (null: any device)
        std::optional<std::string> device;  // the device's serial (none: unreadable)
        bool accepted;
    };
    const Case cases[] = {
        {nullptr, "A1B2", true},          {"A1B2", "A1B2", true},   {"a1b2", "A1B2", false},
        {"A1B", "A1B2", false},           {"A1B2X", "A1B2", false}, {"A1B2", std::nullopt, false},
        {nullptr, std::nullopt, true},    {"", "A1B2", true},       {"", std::nullopt, true},
        {"garbage", std::nullopt, false},
    };
    for (const Case& c : cases) {
        fake::Installed fake;
        fake::Interface ifc = listed("dev");
        ifc.serial = c.device;
        fake::state().interfaces = {ifc};
        EXPECT_EQ(chosen(c.wanted), c.accepted ? "dev" : "")
            << (c.wanted ? c.wanted : "(null)") << " vs " << c.device.value_or("(unreadable)");
    }
}

usb_ifc_info g_seen;
int capture(usb_ifc_info* info) {
    g_seen = *info;
    return 0;
}

TEST(UsbOpen, MatchFunctionSeesTheDescriptorsAndAnEmptySerialWhenUnreadable) {
    fake::Installed fake;
    fake::Interface ifc = listed("dev");
    ifc.vendor = 0x0BB4;
    ifc.product = 0x0C01;
    ifc.serial = std::nullopt;
    fake::state().interfaces = {ifc};
    usb_handle* h = usb_open(capture);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(g_seen.dev_vendor, ifc.vendor);
    EXPECT_EQ(g_seen.dev_product, ifc.product);
    EXPECT_EQ(g_seen.ifc_class, ifc.cls);
    EXPECT_EQ(g_seen.ifc_subclass, ifc.subclass);
    EXPECT_EQ(g_seen.ifc_protocol, ifc.protocol);
    EXPECT_EQ(g_seen.writable, 1);
    EXPECT_STREQ(g_seen.serial_number, "");
    EXPECT_STREQ(g_seen.device_path, "");
    usb_close(h);
}

// Whether the backend can look at a device while leaving it alone or each interface is opened
// to be matched: the first accepted in enumeration order wins, and only it is reset, only for a
// run.
TEST(UsbOpen, FirstAcceptedInterfaceInEnumerationOrderWinsAndOnlyItIsReset) {
    for (bool peeking : {false, true}) {
        SCOPED_TRACE(peeking ? "looked at" : "opened to be matched");
        fake::Installed fake;
        fake::set_peeking(peeking);
        fake::Interface refused = listed("a-refused");
        refused.create_error = USB_ERR_ACCESS_DENIED;
        fake::Interface other_vendor = listed("b-other");
        other_vendor.vendor = 0x1234;
        fake::Interface first = listed("c-first");
        first.serial = "S1";
        fake::Interface second = listed("d-second");
        second.serial = "S2";
        fake::state().interfaces = {refused, other_vendor, first, second};

        EXPECT_EQ(chosen(nullptr), "c-first");
        EXPECT_EQ(chosen("S2"), "d-second");
        EXPECT_EQ(usb_last_seen().refused, std::vector<std::string>{"a-refused"});
        EXPECT_EQ(usb_last_seen().other_serials, std::vector<std::string>{"S1"});
        EXPECT_EQ(chosen("S3"), "");
        const std::map<std::string, int> run_resets = {{"c-first", 1}, {"d-second", 1}};
        EXPECT_EQ(fake::state().resets, run_resets);
        // a query takes the first one and resets nothing
        serial = nullptr;
        usb_handle* h = usb_open_to_query(match_trevan);
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(h->interface_name, "c-first");
        usb_close(h);
        EXPECT_EQ(fake::state().resets, run_resets);
        // looked at, only the interfaces taken were ever opened
        if (peeking) {
            EXPECT_EQ(fake::interfaces_opened(), 3);
        }
        // every search closed its enumeration and everything it opened
        EXPECT_EQ(fake::state().enums_open, 0);
        EXPECT_EQ(fake::handles_left_open(), 0);
        EXPECT_EQ(fake::handles_closed_twice(), 0);
    }
}

TEST(UsbOpen, InterfacesThatCannotBeOpenedAreSkippedAndReleased) {
    fake::Installed fake;
    fake::Interface gone = listed("a-gone");
    gone.create_error = USB_ERR_BUSY;
    fake::Interface no_in = listed("b-no-in");
    no_in.no_read_pipe = true;
    fake::Interface no_out = listed("c-no-out");
    no_out.no_write_pipe = true;
    fake::Interface no_name = listed("d-no-name");
    no_name.no_name = true;
    fake::Interface no_desc = listed("e-no-desc");
    no_desc.no_device_descriptor = true;
    fake::Interface good = listed("f-good");
    fake::state().interfaces = {gone, no_in, no_out, no_name, no_desc, good};

    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->interface_name, "f-good");
    // the good one holds an interface and two pipes; all else was released
    EXPECT_EQ(fake::handles_left_open(), 3);
    EXPECT_EQ(usb_close(h), 0);
    EXPECT_EQ(fake::handles_left_open(), 0);
    EXPECT_EQ(fake::handles_closed_twice(), 0);
}

TEST(UsbOpen, NothingToListGivesNull) {
    fake::Installed fake;
    fake::state().enum_fails = true;
    EXPECT_EQ(usb_open(match_trevan), nullptr);
    fake::state().enum_fails = false;
    EXPECT_EQ(usb_open(match_trevan), nullptr);  // listed, but empty
    EXPECT_EQ(fake::state().enums_open, 0);
}

TEST(DoUsbOpen, AFailedOpenLeavesItsReasonInErrnoAndTheLastError) {
    struct Case {
        fake::Interface ifc;
        int expected;
    };
    std::vector<Case> cases;
    fake::Interface busy = listed("busy");
    busy.create_error = USB_ERR_BUSY;
    cases.push_back({busy, USB_ERR_BUSY});
    fake::Interface no_out = listed("no-out");
    no_out.no_write_pipe = true;
    cases.push_back({no_out, USB_ERR_NOT_FOUND});
    fake::Interface no_name = listed("no-name");
    no_name.no_name = true;
    cases.push_back({no_name, USB_ERR_IO});
    for (const Case& c : cases) {
        fake::Installed fake;
        fake::state().interfaces = {c.ifc};
        errno = 0;
        // closing what was opened resets the platform's last error; the reason must survive
        EXPECT_EQ(do_usb_open(c.ifc.name.c_str()), nullptr) << c.ifc.name;
        EXPECT_EQ(errno, c.expected) << c.ifc.name;
        EXPECT_EQ(usb_platform_last_error(), c.expected) << c.ifc.name;
        EXPECT_EQ(fake::handles_left_open(), 0) << c.ifc.name;
    }
}

TEST(RecognizedDevice, NullHandleIsNotADevice) {
    fake::Installed fake;
    EXPECT_EQ(recognized_device(nullptr, match_trevan), 0);
}

TEST(UsbClose, ReleasesTheHandleAndAcceptsNull) {
    fake::Installed fake;
    fake::state().interfaces = {listed("dev")};
    EXPECT_EQ(usb_close(nullptr), 0);

    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(usb_close(h), 0);
    EXPECT_EQ(fake::handles_left_open(), 0);
}

TEST(UsbKick, ReleasesEverythingButTheRecordAndCloseStillWorks) {
    fake::Installed fake;
    fake::state().interfaces = {listed("dev")};
    usb_handle* h = usb_open(match_trevan);
    ASSERT_NE(h, nullptr);
    usb_kick(h);
    EXPECT_EQ(h->qrb_interface, nullptr);
    EXPECT_EQ(h->qrb_read_pipe, nullptr);
    EXPECT_EQ(h->qrb_write_pipe, nullptr);
    EXPECT_EQ(h->interface_name, nullptr);
    EXPECT_EQ(fake::handles_left_open(), 0);

    char buf[64];
    EXPECT_EQ(usb_read(h, buf, sizeof buf), -1);
    EXPECT_EQ(usb_write(h, "getvar:product", 14), -1);
    EXPECT_EQ(errno, USB_ERR_INVALID_HANDLE);
    EXPECT_TRUE(fake::state().read_calls.empty());
    EXPECT_EQ(usb_close(h), 0);
    EXPECT_EQ(fake::handles_closed_twice(), 0);

    errno = 0;
    usb_kick(nullptr);
    EXPECT_EQ(errno, USB_ERR_INVALID_HANDLE);
    EXPECT_EQ(usb_platform_last_error(), USB_ERR_INVALID_HANDLE);
}

}  // namespace

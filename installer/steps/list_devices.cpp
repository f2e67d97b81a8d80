// tessaro-installer --list: every bootloader device asked what it is, and every one that could
// not be opened, as text lines or JSON.
#include "installer/steps/list_devices.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "base/json_string.h"
#include "client/action_queue.h"
#include "client/transport.h"
#include "console/console.h"
#include "console/device_text.h"
#include "installer/boardtype/model_table.h"
#include "installer/steps/wait_help.h"
#include "usb/usb.h"

namespace {

// Devices already listed in this run, by serial number and device path: the search skips them,
// so each usb_open brings the next device not yet seen.
std::set<std::pair<std::string, std::string>> g_listed;

// A bootloader answers a query at once; one silent this long is listed as not answering, so that
// one stuck device cannot hold up the listing of the others (and a page that lists every few
// seconds).
constexpr uint32_t kQueryPatienceMs = 3000;

// The identity of the interface the search accepted last.
usb_ifc_info g_accepted;

int match_unlisted(usb_ifc_info* info) {
    if (match_trevan_with_serial(info, nullptr) != 0) return -1;
    if (g_listed.contains({info->serial_number, info->device_path})) return -1;
    g_accepted = *info;
    return 0;
}

struct Answer {
    bool lost = false;  // the link failed: no answer at all
    std::string text;   // the OKAY text; empty when the device refused the query
};

Answer g_answer;

int cb_keep(Action* /*a*/, int status, const char* resp) {
    if (status == 0) g_answer.text = resp;
    return 0;
}

// One getvar on an open handle; a variable the device refuses reads as empty.
Answer query(usb_handle*& handle, const char* var) {
    g_answer = Answer{};
    std::memset(retvalue, 0, sizeof retvalue);
    fb_queue_display(var, var);
    action_last->func = cb_keep;
    const unsigned closes = transport_close_count();
    (void)fb_execute_queue(handle);
    fb_free_queue();
    // the transport closes the handle itself when the link failed
    if (transport_close_count() != closes) {
        handle = nullptr;
        g_answer.lost = true;
    }
    return g_answer;
}

void put_line(const std::string& line) {
    con_out_raw(line);
    con_out_raw("\n");
    con_flush();
}

std::string unopened_line(std::string_view device, std::string_view error,
                          const std::string& reason, ListFormat format) {
    if (format == ListFormat::Json) {
        return "{\"device\":" + base::json_string(device) +
               ",\"error\":" + base::json_string(error) +
               ",\"reason\":" + base::json_string(reason) + "}";
    }
    return "not opened: " + std::string(device) + ": " + reason;
}

}  // namespace

void describe_board(std::string_view serial, ListedDevice& device) {
    auto begins = [serial](const board_model& row) {
        return std::ranges::any_of(row.prefixes, [serial](std::string_view code) {
            return serial.substr(0, code.size()) == code;
        });
    };
    device.model.clear();
    device.variant.clear();
    for (const board_model& row : board_models()) {
        if (!begins(row)) continue;
        device.model = row.name;
        break;
    }
    // the storage size, on a model whose units come in a pair of them
    for (const board_model& row : board_rows()) {
        if (row.install.variant && !row.install.variant->label.empty() && begins(row))
            device.variant = row.install.variant->label;
    }
}

std::string_view system_name(std::string_view systype) {
    if (systype.starts_with("dual")) return "dual";
    if (systype.starts_with("tess")) return "second";
    return "native";
}

std::string listed_line(const ListedDevice& d, ListFormat format) {
    if (format == ListFormat::Json) {
        return "{\"serial\":" + base::json_string(d.serial) +
               ",\"model\":" + base::json_string(d.model) +
               ",\"loader\":" + base::json_string(d.loader) +
               ",\"system\":" + base::json_string(d.system) +
               ",\"variant\":" + base::json_string(d.variant) +
               ",\"path\":" + base::json_string(d.path) +
               ",\"simulated\":" + (d.simulated ? "true" : "false") + "}";
    }
    std::string line = "device " + device_text(d.serial) + ": model ";
    line += d.model.empty() ? "unknown (no model has this board id)" : d.model;
    line += ", loader " + (d.loader.empty() ? std::string("(none given)") : device_text(d.loader));
    line += ", system " + d.system;
    if (!d.variant.empty()) line += ", variant " + d.variant;
    if (!d.path.empty()) line += ", path " + d.path;
    return line;
}

int list_devices(ListFormat format) {
    g_listed.clear();
    usb_set_read_patience(kQueryPatienceMs);
    for (;;) {
        usb_handle* handle = usb_open_to_query(match_unlisted);
        if (handle == nullptr) break;
        const usb_ifc_info info = g_accepted;
        g_listed.insert({info.serial_number, info.device_path});

        ListedDevice d;
        d.serial = info.serial_number;
        d.path = info.device_path;
        d.simulated = usb_is_simulated(handle) != 0;
        // the queries of a run's identification, in its order; the model is read from the
        // "serialno" answer, as the run reads it (the USB serial number is what SERIAL matches)
        bool lost = false;
        std::string board_id = d.serial;
        for (const char* var : {"product", "serialno", "verflag", "systype"}) {
            const Answer a = query(handle, var);
            if (a.lost) {
                lost = true;
                con_err("list: the device %s stopped answering (getvar:%s); it is not listed\n",
                        device_text(d.serial).c_str(), var);
                break;
            }
            const std::string_view name = var;
            if (name == "serialno" && !a.text.empty()) board_id = a.text;
            if (name == "verflag") d.loader = a.text;
            if (name == "systype") d.system = system_name(a.text);
        }
        describe_board(board_id, d);
        if (handle != nullptr) (void)usb_close(handle);
        if (!lost) put_line(listed_line(d, format));
    }

    const usb_seen& seen = usb_last_seen();
    const std::tuple<const std::vector<std::string>&, const char*, UnopenedKind> unopened[] = {
        {seen.refused, "refused", UnopenedKind::Refused},
        {seen.busy, "busy", UnopenedKind::Busy},
        {seen.no_driver, "no-driver", UnopenedKind::NoDriver}};
    for (const auto& [devices, error, kind] : unopened) {
        for (const std::string& what : devices) {
            put_line(unopened_line(what, error, unopened_fix(kind, seen.simulated), format));
        }
    }
    usb_set_read_patience(0);
    return 0;
}

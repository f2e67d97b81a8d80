// The plan made from what the twin received, and its two forms.
#include "installer/steps/plan_report.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "base/json_string.h"
#include "check/crc32.h"
#include "console/device_text.h"
#include "payload/payload.h"

namespace {

constexpr char kStandinText[] =
    "\n###注意(Note)：本版本只带替身引导程序(this build carries stand-in loaders only)；"
    "真实安装会在引导程序阶段之前停止，不写入任何东西(the real install would stop before the "
    "loader stage; nothing would be written)";

// The texts, Chinese with the English words in parentheses as the menus have them.
constexpr const char* kTexts[] = {
    "\n###安装计划(Plan)：",
    "\n###引导程序(Loader)：",
    "，不变(unchanged)",
    "次重启(restarts)",
    "个阶段(stages)",
    "\n###  阶段(stage) ",
    "\n###分区表(Partition tables)：重写(rewritten) ",
    "\n###分区表(Partition tables)：不重写(not rewritten)",
    "，布局(layout) ",
    "，存储(storage) ",
    "\n###存储切换(Storage-variant switch)：",
    "\n###写入(Write) ",
    "字节(bytes)",
    "，设备校验(checked by the device)",
    "，设备不校验(not checked by the device)",
    "\n###系统标记(System marker)：",
    "\n###系统标记(System marker)：不写(none)",
    "\n###用户数据(User data)：清除(WIPED)",
    "\n###用户数据(User data)：保留(kept)",
    "\n###结束时重启(Closing reboot)：是(yes)",
    "\n###结束时重启(Closing reboot)：否(no)",
    "\n###合计(Total)：",
    kStandinText,
    "\n###不写入任何东西(nothing would be written)",
};
enum Text {
    kHead,
    kLoader,
    kUnchanged,
    kRestarts,
    kStages,
    kStage,
    kTables,
    kNoTables,
    kLayout,
    kStorage,
    kSwitch,
    kWrite,
    kBytes,
    kChecked,
    kUnchecked,
    kMarker,
    kNoMarker,
    kWiped,
    kKept,
    kReboot,
    kNoReboot,
    kTotal,
    kStandin,
    kNothing,
};

std::string t(Text which) {
    return kTexts[which];
}

bool table_partition(std::string_view partition) {
    return partition == "xzmbr" || partition == "xembr";
}

// The installer's image of this size and CRC (a loader or a partition table), or null.
const payload_image* image_of(uint64_t bytes, uint32_t crc) {
    for (const payload_image& img : payload_catalog()) {
        if (img.size == bytes && GetBufferSUM(img.crc) == crc) return &img;
    }
    return nullptr;
}

void name_write(PlanWrite& w, const PlanFacts& facts) {
    if (w.kind == PlanWriteKind::loader) return;
    if (const payload_image* img = image_of(w.bytes, w.crc)) {
        w.name = img->name;
        w.kind = table_partition(w.partition) ? PlanWriteKind::table : PlanWriteKind::loader;
        return;
    }
    // the boot configuration block: made by the installer, 1 KiB in a user partition
    if (w.bytes == 1024 && w.partition.ends_with("userpartition")) {
        w.kind = PlanWriteKind::block;
        w.name = "boot configuration block";
        return;
    }
    if (facts.file_named) w.name = facts.file_named(w.bytes, w.crc);
    w.kind = w.name.empty() ? PlanWriteKind::unknown : PlanWriteKind::file;
}

std::string partition_of(std::string_view command) {
    // "flash:NAME[:OFFSET]" or "check:NAME[:OFFSET] START LENGTH CRC"
    std::string_view rest = command.substr(command.find(':') + 1);
    return std::string(rest.substr(0, rest.find_first_of(": ")));
}

// Walks the twin's events in order: every "flash:" the device took is the next of its writes.
class Walk {
  public:
    Walk(Plan& plan, const std::vector<devsim::DigestStorage::Write>& writes)
        : plan_(plan), writes_(writes) {}

    void event(const usb_twin::Event& e) {
        if (e.ev == "command") {
            command_ = e.text;
        } else if (e.ev == "loader") {
            loader_ = e.text;
        } else if (e.ev == "data") {
            plan_.bytes += e.bytes;
        } else if (e.ev == "reboot") {
            ++plan_.restarts;
            after_reboot_ = true;
            last_reboot_ = ++order_;
        } else if (e.ev == "answer" && !e.text.starts_with("INFO")) {
            answered(e.text.starts_with("OKAY"), e.text.substr(e.text.starts_with("OKAY") ? 4 : 0));
        }
    }

  private:
    void answered(bool okay, const std::string& value) {
        const std::string command = std::move(command_);
        command_.clear();
        if (!okay) return;
        if (command == "getvar:serialno" && switching_ && after_reboot_) {
            plan_.switched_serial = value;
            switching_ = false;
        } else if (command == "getvar:verflag") {
            if (after_reboot_ && !plan_.stages.empty() && plan_.stages.back().version.empty())
                plan_.stages.back().version = value;
            plan_.loader_to = value;
            after_reboot_ = false;
        } else if (command.starts_with("flash:") && next_ < writes_.size()) {
            take(writes_[next_++]);
        } else if (command.starts_with("check:")) {
            // the last write of that partition is confirmed
            const std::string partition = partition_of(command);
            auto it = std::find_if(plan_.writes.rbegin(), plan_.writes.rend(),
                                   [&](const PlanWrite& w) { return w.partition == partition; });
            if (it != plan_.writes.rend()) it->checked = true;
        } else if (command.starts_with("setvar:")) {
            set(command.substr(7));
        }
    }

    void take(const devsim::DigestStorage::Write& w) {
        last_write_ = ++order_;
        // a piece that follows the last one of the same partition belongs to the same file
        if (!plan_.writes.empty() && !piece_of_loader_ &&
            plan_.writes.back().partition == w.partition && w.offset == end_ && w.offset != 0) {
            PlanWrite& last = plan_.writes.back();
            last.crc = crc32_combine(last.crc, w.crc, w.length);
            last.bytes += w.length;
            end_ += w.length;
            return;
        }
        PlanWrite pw;
        pw.partition = w.partition;
        pw.bytes = w.length;
        pw.crc = w.crc;
        piece_of_loader_ = !loader_.empty();
        if (piece_of_loader_) {
            pw.kind = PlanWriteKind::loader;
            pw.name = loader_;
            plan_.stages.push_back({loader_, w.partition, {}});
            loader_.clear();
        }
        end_ = w.offset + w.length;
        plan_.writes.push_back(std::move(pw));
    }

    void set(const std::string& assignment) {
        last_write_ = ++order_;
        const size_t space = assignment.find(' ');
        const std::string name = assignment.substr(0, space);
        const std::string value = space == std::string::npos ? "" : assignment.substr(space + 1);
        if (name == "systype") plan_.marker = value;
        if (name == "respcb") switching_ = true;
    }

    Plan& plan_;
    const std::vector<devsim::DigestStorage::Write>& writes_;
    size_t next_ = 0;
    std::string command_;
    std::string loader_;
    bool after_reboot_ = false;
    bool piece_of_loader_ = false;
    bool switching_ = false;  // "respcb" was set: the board id after the next restart is new
    uint64_t end_ = 0;
    int order_ = 0;

  public:
    int last_reboot_ = 0;
    int last_write_ = 0;
};

// A text from the device or the file system in the plan: printable, and plain ASCII, so that
// the console's conversion of the plan can never fail on it.
std::string shown(std::string_view text) {
    std::string out;
    for (char c : device_text(text)) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", b);
        out += hex;
    }
    return out;
}

std::string number(uint64_t n) {
    return std::to_string(n);
}

std::string seconds_at(uint64_t bytes, double rate) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f s at %.1f MB/s",
                  static_cast<double>(bytes) / (rate * 1e6), rate);
    return text;
}

}  // namespace

Plan make_plan(const std::vector<usb_twin::Event>& events,
               const std::vector<devsim::DigestStorage::Write>& writes, const PlanFacts& facts) {
    Plan plan;
    plan.serial = facts.serial;
    plan.loader_from = plan.loader_to = facts.loader_from;
    plan.wipe = facts.wipe;
    plan.standin_stop = facts.standin_stop;
    plan.rate = facts.rate;
    plan.status = facts.status;
    Walk walk(plan, writes);
    for (const usb_twin::Event& e : events) walk.event(e);
    // a final loader not asked after its restart: the version it carries
    for (PlanLoaderStage& st : plan.stages) {
        const payload_image* img = payload_find(st.image);
        if (!st.version.empty() || img == nullptr || img->ver == nullptr) continue;
        st.version = img->ver;
        plan.loader_to = st.version;
    }
    for (PlanWrite& w : plan.writes) {
        name_write(w, facts);
        if (w.kind == PlanWriteKind::table) plan.tables.push_back(w.partition);
    }
    if (!plan.tables.empty()) {
        plan.layout = facts.layout;
        plan.variant = facts.variant;
    }
    // the reboot that comes after everything the run wrote or set
    plan.closing_reboot = walk.last_reboot_ > walk.last_write_;
    return plan;
}

std::string plan_text(const Plan& p) {
    std::string s = t(kHead) + shown(p.serial);
    if (p.standin_stop) s += t(kStandin);
    if (p.writes.empty() && !p.standin_stop) s += t(kNothing);
    s += t(kLoader) + (p.loader_from.empty() ? "-" : shown(p.loader_from));
    if (p.stages.empty()) {
        s += t(kUnchanged);
    } else {
        s += " -> " + shown(p.loader_to) + ", " + number(p.stages.size()) + " " + t(kStages) +
             ", " + number(static_cast<uint64_t>(p.restarts)) + " " + t(kRestarts);
    }
    for (size_t i = 0; i < p.stages.size(); ++i) {
        const PlanLoaderStage& st = p.stages[i];
        s += t(kStage) + number(i + 1) + ": " + st.image + " -> " + st.partition +
             (st.version.empty() ? "" : ", " + shown(st.version));
    }
    if (p.tables.empty()) {
        s += t(kNoTables);
    } else {
        std::string names;
        for (const std::string& name : p.tables) names += (names.empty() ? "" : ", ") + name;
        s += t(kTables) + names + t(kLayout) + p.layout;
        if (!p.variant.empty()) s += t(kStorage) + p.variant;
    }
    if (!p.switched_serial.empty()) s += t(kSwitch) + shown(p.switched_serial);
    for (const PlanWrite& w : p.writes) {
        if (w.kind == PlanWriteKind::loader) continue;
        const std::string name = w.name.empty() ? "?" : shown(w.name);
        s += t(kWrite) + name + " -> " + w.partition + ", " + number(w.bytes) + " " + t(kBytes) +
             t(w.checked ? kChecked : kUnchecked);
    }
    s += p.marker.empty() ? t(kNoMarker) : t(kMarker) + shown(p.marker);
    s += t(p.wipe ? kWiped : kKept);
    s += t(p.closing_reboot ? kReboot : kNoReboot);
    s += t(kTotal) + number(p.bytes) + " " + t(kBytes) + ", " + seconds_at(p.bytes, p.rate);
    s += "\n###Nothing was written to " + shown(p.serial) + "\n";
    return s;
}

namespace {

// "NAME":VALUE, the value already JSON
std::string field(std::string_view name, const std::string& value) {
    return base::json_string(name) + ":" + value;
}

std::string joined(std::initializer_list<std::string> parts, const char* open, const char* close) {
    std::string out = open;
    for (const std::string& part : parts) out += (out.size() == 1 ? "" : ",") + part;
    return out + close;
}

std::string flag(bool on) {
    return on ? "true" : "false";
}

std::string fixed3(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

}  // namespace

namespace {
// Appends an item to a comma-separated list (by appends: GCC 12 at -O3 reports a false overlap
// in `(cond ? "" : ",") + std::string`).
void listed(std::string& list, const std::string& item) {
    if (!list.empty()) list += ',';
    list += item;
}
}  // namespace

std::string plan_json(const Plan& p) {
    using base::json_string;
    std::string stages;
    for (const PlanLoaderStage& st : p.stages) {
        listed(stages, joined({field("image", json_string(st.image)),
                               field("partition", json_string(st.partition)),
                               field("version", json_string(st.version))},
                              "{", "}"));
    }
    std::string files;
    for (const PlanWrite& w : p.writes) {
        if (w.kind == PlanWriteKind::loader) continue;
        static constexpr const char* kKinds[] = {"file", "loader", "table", "block", "unknown"};
        listed(files, joined({field("kind", json_string(kKinds[static_cast<int>(w.kind)])),
                              field("name", json_string(w.name)),
                              field("partition", json_string(w.partition)),
                              field("bytes", number(w.bytes)), field("checked", flag(w.checked))},
                             "{", "}"));
    }
    std::string tables;
    for (const std::string& name : p.tables) listed(tables, json_string(name));
    const std::string loader =
        joined({field("from", json_string(p.loader_from)), field("to", json_string(p.loader_to)),
                field("stages", "[" + stages + "]"),
                field("restarts", number(static_cast<uint64_t>(p.restarts)))},
               "{", "}");
    const std::string table_part =
        joined({field("rewritten", "[" + tables + "]"), field("layout", json_string(p.layout)),
                field("variant", json_string(p.variant))},
               "{", "}");
    return joined(
        {field("serial", json_string(p.serial)), field("loader", loader),
         field("tables", table_part), field("switched_serial", json_string(p.switched_serial)),
         field("writes", "[" + files + "]"), field("marker", json_string(p.marker)),
         field("wipe", flag(p.wipe)), field("closing_reboot", flag(p.closing_reboot)),
         field("bytes", number(p.bytes)), field("rate_mb_s", fixed3(p.rate)),
         field("seconds", fixed3(static_cast<double>(p.bytes) / (p.rate * 1e6))),
         field("standin_stop", flag(p.standin_stop)), field("status", std::to_string(p.status)),
         field("written", "false")},
        "{", "}");
}

std::span<const char* const> plan_texts() {
    return kTexts;
}

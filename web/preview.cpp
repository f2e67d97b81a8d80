#include "web/preview.h"

#include <fstream>
#include <iterator>
#include <utility>

namespace web {

using json = nlohmann::json;

namespace {

// the plan of a large package is a few KiB: a longer file is not the installer's
constexpr std::streamsize kMaxPlan = 1 << 20;
constexpr size_t kMaxItems = 256;
constexpr size_t kMaxText = 256;

// The plan's shape: a text is "", a number 0, a flag false, a list the shape of its items.
const json& plan_shape() {
    static const json shape = json::parse(R"({
        "serial": "", "switched_serial": "", "marker": "", "wipe": false, "closing_reboot": false,
        "bytes": 0, "seconds": 0, "rate_mb_s": 0, "standin_stop": false, "status": 0,
        "loader": {"from": "", "to": "", "restarts": 0,
                   "stages": [{"image": "", "partition": "", "version": ""}]},
        "tables": {"rewritten": [""], "layout": "", "variant": ""},
        "writes": [{"kind": "", "name": "", "partition": "", "bytes": 0, "checked": false}]})");
    return shape;
}

// A text of at most kMaxText bytes, cut between two characters.
std::string cut(std::string s) {
    if (s.size() <= kMaxText) return s;
    size_t end = kMaxText;
    while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
    s.resize(end);
    return s;
}

// `in` as `shape` has it: what is of another type is left out, lists and texts are cut short.
json shaped(const json& in, const json& shape) {
    if (shape.is_object()) {
        if (!in.is_object()) return nullptr;
        json out = json::object();
        for (const auto& [name, part] : shape.items()) {
            if (!in.contains(name)) continue;
            json v = shaped(in[name], part);
            if (!v.is_null()) out[name] = std::move(v);
        }
        return out;
    }
    if (shape.is_array()) {
        if (!in.is_array()) return nullptr;
        json out = json::array();
        for (const auto& item : in) {
            if (out.size() == kMaxItems) break;
            json v = shaped(item, shape[0]);
            if (!v.is_null()) out.push_back(std::move(v));
        }
        return out;
    }
    if (shape.is_string()) return in.is_string() ? json(cut(in.get<std::string>())) : json();
    if (shape.is_boolean()) return in.is_boolean() ? in : json(nullptr);
    return in.is_number() ? in : json(nullptr);
}

std::string text_of(const json& device, const char* name) {
    const auto it = device.find(name);
    return it != device.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

Identity device_identity(const json& device) {
    Identity id;
    if (!device.is_object()) return id;
    id.serial = text_of(device, "serial");
    id.model = text_of(device, "model");
    id.loader = text_of(device, "loader");
    id.system = text_of(device, "system");
    id.variant = text_of(device, "variant");
    return id;
}

void take_event(Identity& id, const Event& e) {
    if (id.menu) return;
    if (e.kind == EventKind::Loader) id.loaders.push_back(e.value);
    if (e.kind != EventKind::Menu) return;
    id.menu = true;
    id.header = e.header;
    for (const auto& c : e.choices) id.choices += std::string(1, c.key) + ":" + c.text + "\n";
}

json differs(const Identity& preview, const Identity& now) {
    std::string en;
    std::string zh;
    auto add = [&](const std::string& what_en, const std::string& what_zh) {
        if (!en.empty()) en += "; ";
        if (!zh.empty()) zh += "；";
        en += what_en;
        zh += what_zh;
    };
    auto fact = [&](const std::string& was, const std::string& is, const char* what_en,
                    const char* what_zh) {
        if (was == is) return;
        const std::string now_is = is.empty() ? "-" : is;
        const std::string then_was = was.empty() ? "-" : was;
        add(std::string(what_en) + " is " + now_is + " now, " + then_was + " in the preview",
            std::string(what_zh) + "现在是 " + now_is + "，预览时是 " + then_was);
    };
    fact(preview.serial, now.serial, "the serial number", "序列号");
    fact(preview.model, now.model, "the model", "机型");
    fact(preview.loader, now.loader, "the loader", "引导程序");
    fact(preview.system, now.system, "the system", "系统");
    fact(preview.variant, now.variant, "the storage", "存储");
    if (preview.loaders != now.loaders) {
        add("the run reports another loader version", "本次运行报告的引导程序版本不同");
    }
    if (preview.header != now.header || preview.choices != now.choices) {
        add("the menu is not the preview's", "菜单与预览时不同");
    }
    if (en.empty()) return nullptr;
    return {{"en", en}, {"zh", zh}};
}

json read_plan(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    std::string text(kMaxPlan + 1, '\0');
    in.read(text.data(), kMaxPlan + 1);
    if (in.gcount() > kMaxPlan) return nullptr;
    text.resize(static_cast<size_t>(in.gcount()));
    const json parsed = json::parse(text, nullptr, false);
    json plan = shaped(parsed, plan_shape());
    if (!plan.is_object() || !plan.contains("writes") || !plan.contains("loader")) return nullptr;
    return plan;
}

void Previews::take(const Identity& id, char key, json plan) {
    if (differs(identity, id) != nullptr) plans.clear();
    identity = id;
    plans[key] = std::move(plan);
    last = key;
}

json Previews::event(const std::string& place) const {
    json all = json::object();
    for (const auto& [key, plan] : plans) all[std::string(1, key)] = plan;
    return {{"type", "preview"}, {"path", place}, {"key", std::string(1, last)}, {"plans", all}};
}

}  // namespace web

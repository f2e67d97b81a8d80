#include "web/menu_wipes.h"

#include <algorithm>
#include <array>

namespace web {

namespace {

enum class Wipes { never, always, on_native };

struct OptionWipe {
    std::string_view text;  // the option line's text between its digit and its closing mark
    Wipes wipes;
};

// The menus' choices and what they do to the user data. The plain upgrade of the second system
// keeps the data of a device that carries it already, and wipes a native device it converts.
constexpr std::array kOptions = {
    OptionWipe{"升级(Upgrade)", Wipes::never},
    OptionWipe{"升级&重置(Upgrade&Wipe)", Wipes::always},
    OptionWipe{"退出(Exit)", Wipes::never},
    OptionWipe{"升级Tessaro(Upgrade Tessaro)", Wipes::never},
    OptionWipe{"升级Tessaro&重置(Upgrade&Wipe Tessaro)", Wipes::always},
    OptionWipe{"恢复原生系统(Pagora)", Wipes::never},
    OptionWipe{"升级Tessaro(Upgrade)", Wipes::on_native},
    OptionWipe{"升级Tessaro&重置(Upgrade&Wipe)", Wipes::always},
    OptionWipe{"转换为Tessaro系统(Tessaro)", Wipes::always},
    OptionWipe{"转换为原始系统(Pagora)", Wipes::never},
    OptionWipe{kBothSystemsText, Wipes::always},
};

constexpr std::string_view kCurrent = "当前系统：";

enum class Current { unknown, native, other };

// The banner before a menu of the families other than RQ3 names the current system.
Current current_system(const Event& menu) {
    for (const auto& h : menu.header) {
        const size_t at = h.find(kCurrent);
        if (at == std::string::npos) continue;
        return std::string_view(h).substr(at + kCurrent.size()) == "原生系统" ? Current::native
                                                                              : Current::other;
    }
    return Current::unknown;
}

}  // namespace

void mark_wipes(Event& menu) {
    if (menu.value.find("(0-4)") != std::string::npos &&
        std::none_of(menu.choices.begin(), menu.choices.end(),
                     [](const MenuChoice& c) { return c.key == '5'; })) {
        // the both-systems choice goes before Exit, as the page shows it
        const auto exit = std::find_if(menu.choices.begin(), menu.choices.end(),
                                       [](const MenuChoice& c) { return c.key == '0'; });
        menu.choices.insert(exit, MenuChoice{'5', std::string(kBothSystemsText), true});
    }
    const Current current = current_system(menu);
    for (auto& c : menu.choices) {
        const auto* row = std::find_if(kOptions.begin(), kOptions.end(),
                                       [&c](const OptionWipe& o) { return o.text == c.text; });
        if (row == kOptions.end()) {
            c.wipes = true;
            continue;
        }
        c.wipes = row->wipes == Wipes::always ||
                  (row->wipes == Wipes::on_native && current != Current::other);
    }
}

}  // namespace web

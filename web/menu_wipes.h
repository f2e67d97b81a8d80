// What each choice of an installer menu does to the user data of the device it runs for: the
// menu's choices as the reader found them, marked with whether they wipe, for the device's current
// system as the banner before the menu names it.
#pragma once

#include <string_view>

#include "web/reader.h"

namespace web {

// The text the page shows for the menu's choice "5" of a package of both systems, which the
// installer takes though it prints no line for it.
constexpr std::string_view kBothSystemsText = "双系统(Both systems)";

// Marks each choice of `menu` (a Menu event) with `wipes`, and adds the choice "5" to the menu of
// a package of both systems. A choice whose text is not known here, or one that wipes only some
// systems when the current system is not named, is taken to wipe: the page then asks first.
void mark_wipes(Event& menu);

}  // namespace web

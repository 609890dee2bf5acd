#pragma once

namespace platform {

// Whether an XEmbed tray (a panel's notification area on X11) serves the application's screen
// now: the tray selection of that screen has an owner. False off X11.
bool XEmbedTrayOwned();

} // namespace platform

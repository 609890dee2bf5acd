#pragma once

#include "platform/notify_icon.h"

#include <QString>

namespace HelpMenuFunctions {

// Shows the About box with the caller's icon (the same picture object, not a copy) and version
// text; an empty text stands for the default version text. The About library is not reached
// yet: this does nothing for now.
void ShowAboutBox(const platform::PictureRef& icon, const QString& versionText);

} // namespace HelpMenuFunctions

#pragma once

#include "platform/notify_icon.h"

#include <QString>

namespace HelpMenuFunctions {

// The ProgID of the About library's one creatable class.
inline constexpr const char* kAboutDialogProgId = "Kelvaring.AboutDialog";

// Shows the About box with the caller's icon (the same picture object, not a copy) and version
// text; an empty text stands for the default version text. The About library is optional:
// every step that fails is skipped, so without it nothing is shown and nothing is said.
void ShowAboutBox(const platform::PictureRef& icon, const QString& versionText);

// Three lines, each ended by CR LF: the identity line, "Drovemoor Version x.y.z" and two
// blanks, the legal notice.
QString DefaultVersionText();

} // namespace HelpMenuFunctions

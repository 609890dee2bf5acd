#include "toolkit/about_box_stub.h"

namespace HelpMenuFunctions {

void ShowAboutBox(const platform::PictureRef& icon, const QString& versionText) {
    Q_UNUSED(icon);
    Q_UNUSED(versionText);
}

} // namespace HelpMenuFunctions

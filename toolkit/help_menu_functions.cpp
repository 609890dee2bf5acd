#include "toolkit/help_menu_functions.h"

// The help viewer, the browser launcher and the tip of the day are not built yet: these
// actions do nothing for now.
namespace HelpMenuFunctions {

QString HelpFile;

void ShowHelpTopic(int context) {
    Q_UNUSED(context);
}
void OpenUpdatesPage() {}
void OpenOnlineManual() {}
void OpenFAQPage() {}
void OpenFeedbackPage() {}
void OpenHomePage() {}

} // namespace HelpMenuFunctions

namespace ToolTips {
void ShowTipOfTheDay(const QString& section, bool force) {
    Q_UNUSED(section);
    Q_UNUSED(force);
}
} // namespace ToolTips

#pragma once

#include <QString>

// The Help menu's actions that do not depend on the server's own work.
namespace HelpMenuFunctions {

// The program's help file; start-up sets it in standalone mode only.
extern QString HelpFile;

// Shows a topic of the help file by its context number.
void ShowHelpTopic(int context);
// The maker's web pages, in the default browser.
void OpenUpdatesPage();
void OpenOnlineManual();
void OpenFAQPage();
void OpenFeedbackPage();
void OpenHomePage();

} // namespace HelpMenuFunctions

namespace ToolTips {
// Offers the tip of the day for a section; `force` shows it whatever the user's switch says.
void ShowTipOfTheDay(const QString& section, bool force);
} // namespace ToolTips

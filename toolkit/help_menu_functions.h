#pragma once

#include <QString>

// The Help menu's actions that do not depend on the server's own work.
namespace HelpMenuFunctions {

// The program's help file; start-up sets it in standalone mode only.
extern QString HelpFile;

// Shows a topic of the help file by its context number in the help viewer; with no help file
// (automation mode) nothing opens.
void ShowHelpTopic(int context);
// The maker's web pages, in the default browser.
void OpenUpdatesPage();
void OpenOnlineManual();
void OpenFAQPage();
void OpenFeedbackPage();
void OpenHomePage();

} // namespace HelpMenuFunctions

namespace ToolTips {
// Offers the tip of the day for a section through the optional tip component; `force` shows it
// whatever the user's switch says. Without the component nothing is shown and nothing is said.
void ShowTipOfTheDay(const QString& section, bool force);
// Whether the stored switch text turns the tip at start off: "False" in any case, or a number
// equal to 0. Any other text, the empty one included, leaves it on.
bool TipSwitchIsOff(const QString& text);
} // namespace ToolTips

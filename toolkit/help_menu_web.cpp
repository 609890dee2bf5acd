#include "toolkit/help_menu_functions.h"

#include "toolkit/common_functions.h"

// The maker's web pages, each one path beneath the site's base address.
namespace HelpMenuFunctions {

namespace {

constexpr const char* kUpdatesPath = "/Updates.htm";
constexpr const char* kOnlineManualPath = "/Help";
constexpr const char* kFAQPath = "/FAQ/FAQ.htm";
constexpr const char* kFeedbackPath = "/Feedback.htm";
constexpr const char* kHomePath = "/";

void OpenSitePage(const char* path) {
    Common_Functions::OpenURL(Common_Functions::WebSiteBase() + QLatin1String(path));
}

} // namespace

void OpenUpdatesPage() {
    OpenSitePage(kUpdatesPath);
}

void OpenOnlineManual() {
    OpenSitePage(kOnlineManualPath);
}

void OpenFAQPage() {
    OpenSitePage(kFAQPath);
}

void OpenFeedbackPage() {
    OpenSitePage(kFeedbackPath);
}

void OpenHomePage() {
    OpenSitePage(kHomePath);
}

} // namespace HelpMenuFunctions

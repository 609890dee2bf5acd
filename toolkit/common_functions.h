#pragma once

#include <QString>

// Routines shared by both deliverables.
namespace Common_Functions {

// Opens the address in the user's default browser, or tells the user that this failed.
void OpenURL(const QString& address);

// The web address of the maker's site, without a trailing slash.
QString WebSiteBase();

} // namespace Common_Functions

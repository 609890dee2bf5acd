#include "toolkit/about_box.h"

#include "platform/com_object.h"

#include <QObject>
#include <QVariant>

#include <memory>

#if !defined(DROVEMOOR_VERSION_MAJOR) || !defined(DROVEMOOR_VERSION_MINOR) ||                      \
    !defined(DROVEMOOR_VERSION_PATCH)
#error "the build passes the program's version as DROVEMOOR_VERSION_MAJOR/MINOR/PATCH"
#endif

namespace HelpMenuFunctions {

namespace {

// The program's identity as its About box shows it.
constexpr const char* kProgramName = "Drovemoor TFTP Server";
constexpr const char* kPackageName = "Quorvane.Net";
constexpr const char* kSubTitle = "Trivial File Transfer Protocol server for Linux";
constexpr const char* kVersionFirstLine = "Quorvane.Net TFTP Server";
constexpr const char* kProgramFileName = "Drovemoor";
constexpr const char* kVersionWord = " Version ";
constexpr const char* kLegalNotice = "Copyright (C) 2003-2026 Quorvane.Net. All rights reserved.";
constexpr const char* kLineEnd = "\r\n";

} // namespace

QString DefaultVersionText() {
    const QString version = QString::number(DROVEMOOR_VERSION_MAJOR) + QLatin1Char('.') +
                            QString::number(DROVEMOOR_VERSION_MINOR) + QLatin1Char('.') +
                            QString::number(DROVEMOOR_VERSION_PATCH);
    return QLatin1String(kVersionFirstLine) + QLatin1String(kLineEnd) +
           QLatin1String(kProgramFileName) + QLatin1String(kVersionWord) + version +
           QLatin1String("  ") + QLatin1String(kLineEnd) + QLatin1String(kLegalNotice) +
           QLatin1String(kLineEnd);
}

void ShowAboutBox(const platform::PictureRef& icon, const QString& versionText) {
    // Each step stands alone: with no object, or a member the object lacks, the step fails
    // quietly and the next one is tried.
    const std::unique_ptr<QObject> about(platform::CreateObject(QLatin1String(kAboutDialogProgId)));
    platform::SetMember(about.get(), "ProgramName", QLatin1String(kProgramName));
    platform::SetMember(about.get(), "PackageName", QLatin1String(kPackageName));
    platform::SetMember(about.get(), "SubTitle", QLatin1String(kSubTitle));
    platform::SetMember(about.get(), "VersionInfo",
                        versionText.isEmpty() ? DefaultVersionText() : versionText);
    platform::SetMember(about.get(), "ProgIcon", QVariant::fromValue(icon));
    platform::CallMember(about.get(), "Show");
    // Released here: from now on the library owns its windows.
}

} // namespace HelpMenuFunctions

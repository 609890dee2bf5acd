#include "toolkit/help_menu_functions.h"

#include "platform/com_object.h"
#include "toolkit/registry_support.h"

#include <QCoreApplication>

#include <memory>

namespace ToolTips {

namespace {

constexpr const char* kSwitchApp = "Quorvane 2003";
constexpr const char* kSwitchSection = "Common";
constexpr const char* kSwitchValue = "ToolTips";
constexpr const char* kTipProgId = "Mirrowick.TipDialog";
constexpr const char* kProgramDescription = "Quorvane.Net TFTP Server";

} // namespace

bool TipSwitchIsOff(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    bool number = false;
    double value = 0;
    if (t.startsWith(QLatin1String("&H"), Qt::CaseInsensitive) ||
        t.startsWith(QLatin1String("&O"), Qt::CaseInsensitive)) {
        const int base = t[1].toUpper() == QLatin1Char('H') ? 16 : 8;
        value = double(t.mid(2).toLongLong(&number, base));
    } else {
        value = t.toDouble(&number);
    }
    return number && value == 0;
}

void ShowTipOfTheDay(const QString& section, bool force) {
    const QString tipSwitch =
        RegistrySupport::GetRegSetting(QLatin1String(kSwitchApp), QLatin1String(kSwitchSection),
                                       QLatin1String(kSwitchValue), true);
    if (!force && TipSwitchIsOff(tipSwitch)) {
        return;
    }
    // An optional component: each step that fails is skipped, and nothing is said.
    const std::unique_ptr<QObject> tip(platform::CreateObject(QLatin1String(kTipProgId)));
    if (!tip) {
        return;
    }
    platform::SetMember(tip.get(), "ProgramName", QLatin1String(kProgramDescription));
    platform::SetMember(tip.get(), "Path", QCoreApplication::applicationDirPath());
    platform::CallMember(tip.get(), "Show", {section});
}

} // namespace ToolTips

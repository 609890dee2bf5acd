#include "platform/tipdialog/tip_dialog_factory.h"

#include "platform/tipdialog/tip_dialog.h"

namespace {
constexpr const char* kProgId = "Mirrowick.TipDialog";
} // namespace

QObject* TipDialogFactory::CreateInstance(const QString& progId) {
    if (progId.compare(QLatin1String(kProgId), Qt::CaseInsensitive) != 0) {
        return nullptr;
    }
    return new TipDialog;
}

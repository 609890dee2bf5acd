#pragma once

#include "platform/com_object.h"

#include <QObject>

// The component library's root object: it creates TipDialog objects by ProgID.
class TipDialogFactory : public QObject, public platform::ComClassFactory {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID DrovemoorComClassFactory_iid FILE "tipdialog.json")
    Q_INTERFACES(platform::ComClassFactory)

public:
    QObject* CreateInstance(const QString& progId) override;
};
